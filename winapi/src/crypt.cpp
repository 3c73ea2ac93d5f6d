// The CryptoAPI shape over OpenSSL: verify-only contexts and MD5 hashes.
#include "winapi/wincrypt.h"

#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace {

const DWORD MD5_SIZE = 16;

class Md5Hash {
public:
    Md5Hash() : context_(EVP_MD_CTX_new()) {
        ok_ = context_ && EVP_DigestInit_ex(context_, EVP_md5(), nullptr) == 1;
    }
    ~Md5Hash() { EVP_MD_CTX_free(context_); }
    Md5Hash(const Md5Hash&) = delete;
    Md5Hash& operator=(const Md5Hash&) = delete;

    bool ok() const { return ok_; }

    // Windows refuses more data once the value has been read.
    BOOL update(const BYTE* data, DWORD length) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            SetLastError((DWORD)NTE_BAD_HASH_STATE);
            return FALSE;
        }
        if (length > 0 && EVP_DigestUpdate(context_, data, length) != 1) {
            SetLastError((DWORD)NTE_BAD_HASH);
            return FALSE;
        }
        return TRUE;
    }

    bool value(BYTE* out) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!finished_) {
            unsigned int size = 0;
            if (EVP_DigestFinal_ex(context_, digest_, &size) != 1 || size != MD5_SIZE) {
                return false;
            }
            finished_ = true;
        }
        memcpy(out, digest_, MD5_SIZE);
        return true;
    }

private:
    EVP_MD_CTX* context_;
    bool ok_ = false;
    std::mutex mutex_;
    bool finished_ = false;  // guarded by mutex_
    BYTE digest_[MD5_SIZE] = {};
};

// Handles are numbers from one counter, so a stale or made-up handle is refused rather than followed.
std::mutex table_mutex;
ULONG_PTR next_handle = 0x10000;                       // guarded by table_mutex
std::set<ULONG_PTR> providers;                         // guarded by table_mutex
std::map<ULONG_PTR, std::shared_ptr<Md5Hash>> hashes;  // guarded by table_mutex

std::shared_ptr<Md5Hash> find_hash(HCRYPTHASH hash) {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = hashes.find(hash);
    return it == hashes.end() ? nullptr : it->second;
}

BOOL store_dword(DWORD value, BYTE* data, DWORD* length) {
    if (data && *length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (data) {
        memcpy(data, &value, sizeof(value));
    }
    *length = sizeof(DWORD);
    return TRUE;
}

}  // namespace

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName,
                                 DWORD providerType, DWORD flags) {
    if (!provider) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (providerType != PROV_RSA_FULL) {
        SetLastError((DWORD)NTE_BAD_PROV_TYPE);
        return FALSE;
    }
    // There are no key containers: only the verify-only context exists.
    if (flags != CRYPT_VERIFYCONTEXT) {
        SetLastError((DWORD)NTE_BAD_KEYSET);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(table_mutex);
    ULONG_PTR handle = next_handle++;
    providers.insert(handle);
    *provider = handle;
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    std::lock_guard<std::mutex> lock(table_mutex);
    if (flags != 0) {
        SetLastError((DWORD)NTE_BAD_FLAGS);
        return FALSE;
    }
    if (providers.erase(provider) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                            HCRYPTHASH* hash) {
    if (!hash) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (algorithm != CALG_MD5) {
        SetLastError((DWORD)NTE_BAD_ALGID);
        return FALSE;
    }
    if (key != 0 || flags != 0) {
        SetLastError((DWORD)NTE_BAD_FLAGS);
        return FALSE;
    }
    auto created = std::make_shared<Md5Hash>();
    if (!created->ok()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(table_mutex);
    if (providers.count(provider) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG_PTR handle = next_handle++;
    hashes[handle] = created;
    *hash = handle;
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
    std::shared_ptr<Md5Hash> found = find_hash(hash);
    if (!found || (!data && length > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (flags != 0) {
        SetLastError((DWORD)NTE_BAD_FLAGS);
        return FALSE;
    }
    return found->update(data, length);
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* data, DWORD* length, DWORD flags) {
    std::shared_ptr<Md5Hash> found = find_hash(hash);
    if (!found || !length) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (flags != 0) {
        SetLastError((DWORD)NTE_BAD_FLAGS);
        return FALSE;
    }
    switch (parameter) {
        case HP_ALGID:
            return store_dword(CALG_MD5, data, length);
        case HP_HASHSIZE:
            return store_dword(MD5_SIZE, data, length);
        case HP_HASHVAL:
            if (data && *length < MD5_SIZE) {
                *length = MD5_SIZE;
                SetLastError(ERROR_MORE_DATA);
                return FALSE;
            }
            *length = MD5_SIZE;
            if (data && !found->value(data)) {
                SetLastError((DWORD)NTE_BAD_HASH);
                return FALSE;
            }
            return TRUE;
        default:
            SetLastError((DWORD)NTE_BAD_TYPE);
            return FALSE;
    }
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash) {
    std::lock_guard<std::mutex> lock(table_mutex);
    if (hashes.erase(hash) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
