// The server certificate's checks on names and keys the input chooses: the host name against the
// certificate's alternative names (DNS names with any bytes, addresses of any length) or its common names,
// the subject text parsed and compared with the certificate's subject, and a public key against the
// certificate's.
//
// Input: fields of [length byte][bytes], in this order: the host name, the expected subject text, the
// certificate's subject (a subject text; when it does not parse, the field's bytes become one common name),
// the expected public key (DER; empty: the certificate's own), then any number of alternative names, each a
// field whose first byte picks DNS (even) or address (odd). Texts end at their first NUL, as the C strings
// they are.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transport/connection/cert_verify.h"

namespace {

EVP_PKEY* key = nullptr;
std::vector<uint8_t> key_der;

struct Reader {
    const uint8_t* data;
    size_t size;
    bool field(std::string* out) {
        if (size == 0) {
            return false;
        }
        size_t length = std::min<size_t>(data[0], size - 1);
        out->assign(reinterpret_cast<const char*>(data + 1), length);
        data += 1 + length;
        size -= 1 + length;
        return true;
    }
};

void add_alt_names(X509* cert, Reader& reader) {
    GENERAL_NAMES* names = GENERAL_NAMES_new();
    std::string field;
    while (reader.field(&field) && !field.empty()) {
        GENERAL_NAME* name = GENERAL_NAME_new();
        const bool address = field[0] & 1;
        ASN1_STRING* value = address ? ASN1_OCTET_STRING_new() : ASN1_IA5STRING_new();
        ASN1_STRING_set(value, field.data() + 1, int(field.size() - 1));
        GENERAL_NAME_set0_value(name, address ? GEN_IPADD : GEN_DNS, value);
        sk_GENERAL_NAME_push(names, name);
    }
    if (sk_GENERAL_NAME_num(names) > 0) {
        X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT);
    }
    GENERAL_NAMES_free(names);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("SPICE_DEBUG_LEVEL", "1", 0);
    key = EVP_RSA_gen(1024);
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key, &der);
    key_der.assign(der, der + length);
    OPENSSL_free(der);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) {
        return 0;
    }
    Reader reader{data, size};
    std::string host, subject, cert_subject, pubkey;
    reader.field(&host);
    reader.field(&subject);
    reader.field(&cert_subject);
    reader.field(&pubkey);

    X509* cert = X509_new();
    X509_set_pubkey(cert, key);
    int entries = 0;
    X509_NAME* name = subject_to_x509_name(cert_subject.c_str(), &entries);
    const bool parsed = name != nullptr;
    if (parsed) {
        if (X509_NAME_entry_count(name) != entries) {
            abort();
        }
        X509_set_subject_name(cert, name);
        X509_NAME_free(name);
    } else if (!cert_subject.empty()) {
        X509_NAME_add_entry_by_NID(X509_get_subject_name(cert), NID_commonName, MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cert_subject.data()),
                                   int(cert_subject.size()), -1, 0);
    }
    add_alt_names(cert, reader);

    verify_hostname(cert, host.c_str());
    verify_wildcard_match(cert_subject.data(), cert_subject.size(), host.c_str());
    const bool same_subject = verify_subject(cert, subject.c_str());
    // A subject text matches the certificate made from it.
    if (parsed && entries > 0 && strcmp(subject.c_str(), cert_subject.c_str()) == 0 && !same_subject) {
        abort();
    }
    // The certificate's own key always matches; any other bytes are only checked.
    if (pubkey.empty()) {
        if (!verify_pubkey(cert, key_der.data(), key_der.size())) {
            abort();
        }
    } else {
        verify_pubkey(cert, reinterpret_cast<const uint8_t*>(pubkey.data()), pubkey.size());
    }
    X509_free(cert);
    return 0;
}
