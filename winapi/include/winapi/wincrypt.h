// The CryptoAPI subset that hashes with MD5.
#pragma once

#include "winapi/wintypes.h"

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CALG_MD5 0x00008003
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

#define NTE_BAD_HASH ((HRESULT)0x80090002)
#define NTE_BAD_LEN ((HRESULT)0x80090004)
#define NTE_BAD_ALGID ((HRESULT)0x80090008)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009)
#define NTE_BAD_TYPE ((HRESULT)0x8009000A)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000C)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016)

// Only verify contexts (CRYPT_VERIFYCONTEXT) of PROV_RSA_FULL. Failures set the last error to an NTE_* code
// or a Windows error code.
BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName,
                                 DWORD providerType, DWORD flags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
// Only CALG_MD5, without a key.
BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                            HCRYPTHASH* hash);
// Fails with NTE_BAD_HASH_STATE once the value has been read.
BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
// HP_HASHVAL (the digest; data NULL asks for its size), HP_HASHSIZE (a DWORD) or HP_ALGID (a DWORD).
// ERROR_MORE_DATA with the needed size in *length when the buffer is too small.
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* data, DWORD* length, DWORD flags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash);
