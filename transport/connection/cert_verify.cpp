#include "transport/connection/cert_verify.h"

#include "runtime/log.h"
#include "runtime/mem.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The 4 bytes of a strict dotted-quad IPv4 text; false for anything else.
bool parse_ipv4(const char* text, uint8_t* address) {
    for (int part = 0; part < 4; ++part) {
        unsigned value = 0;
        int digits = 0;
        while (*text >= '0' && *text <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(*text++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        address[part] = static_cast<uint8_t>(value);
        if (part < 3 && *text++ != '.') {
            return false;
        }
    }
    return *text == '\0';
}

// The address bytes when the host name is an IP address (4 for IPv4, 16 for IPv6), else 0.
size_t parse_ip_host(const char* hostname, uint8_t* address) {
    if (parse_ipv4(hostname, address)) {
        return 4;
    }
    // A DNS name never holds a colon, so only IPv6 texts go to the library's parser.
    if (!std::strchr(hostname, ':')) {
        return 0;
    }
    ASN1_OCTET_STRING* parsed = a2i_IPADDRESS(hostname);
    size_t length = 0;
    if (parsed && ASN1_STRING_length(parsed) == 16) {
        std::memcpy(address, ASN1_STRING_get0_data(parsed), 16);
        length = 16;
    }
    ASN1_OCTET_STRING_free(parsed);
    return length;
}

std::string name_oneline(X509_NAME* name) {
    char line[256] = "";
    if (name) {
        X509_NAME_oneline(name, line, sizeof line);
    }
    return line;
}

int openssl_verify(int preverify_ok, X509_STORE_CTX* ctx) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    SpiceOpenSSLVerify* v = ssl ? static_cast<SpiceOpenSSLVerify*>(SSL_get_app_data(ssl)) : nullptr;
    if (!v) {
        return 0;  // the object is gone: nothing may pass unchecked
    }
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    std::string subject = name_oneline(cert ? X509_get_subject_name(cert) : nullptr);
    int depth = X509_STORE_CTX_get_error_depth(ctx);
    int err = X509_STORE_CTX_get_error(ctx);

    if (depth > 0) {
        if (preverify_ok) {
            return 1;
        }
        spice_warning("Error in certificate chain verification: %s (num=%d:depth%d:%s)",
                      X509_verify_cert_error_string(err), err, depth, subject.c_str());
        v->all_preverify_ok = 0;
        if (err == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN) {
            // A known public key makes the chain irrelevant.
            if (v->verifyop & SPICE_SSL_VERIFY_PUBKEY) {
                return 1;
            }
            spice_debug("server certificate not being signed by the provided CA");
        }
        return 0;
    }

    if (!cert) {
        spice_debug("failed to get server certificate");
        return 0;
    }

    uint32_t failed = 0;
    if (v->verifyop & SPICE_SSL_VERIFY_PUBKEY) {
        if (verify_pubkey(cert, v->pubkey, v->pubkey_size)) {
            return 1;
        }
        failed |= SPICE_SSL_VERIFY_PUBKEY;
    }
    if (!preverify_ok) {
        spice_warning("Error in server certificate verification: %s (num=%d:depth%d:%s)",
                      X509_verify_cert_error_string(err), err, depth, subject.c_str());
        return 0;
    }
    if (!v->all_preverify_ok) {
        return 0;
    }
    // The subject, when asked for, decides alone.
    if (v->verifyop & SPICE_SSL_VERIFY_SUBJECT) {
        if (verify_subject(cert, v->subject)) {
            return 1;
        }
        failed |= SPICE_SSL_VERIFY_SUBJECT;
    } else if (v->verifyop & SPICE_SSL_VERIFY_HOSTNAME) {
        if (verify_hostname(cert, v->hostname)) {
            return 1;
        }
        failed |= SPICE_SSL_VERIFY_HOSTNAME;
    }

    if (failed & SPICE_SSL_VERIFY_PUBKEY) {
        spice_warning("ssl: pubkey verification failed");
    }
    if (failed & SPICE_SSL_VERIFY_HOSTNAME) {
        spice_warning("ssl: hostname '%s' verification failed", v->hostname ? v->hostname : "");
    }
    if (failed & SPICE_SSL_VERIFY_SUBJECT) {
        spice_warning("ssl: subject '%s' verification failed", v->subject ? v->subject : "");
    }
    spice_warning("ssl: verification failed");
    return 0;
}

}  // namespace

bool verify_pubkey(X509* cert, const uint8_t* key, size_t key_size) {
    if (!key || key_size == 0) {
        return false;
    }
    if (!cert) {
        spice_debug("warning: no cert!");
        return false;
    }
    EVP_PKEY* cert_pubkey = X509_get_pubkey(cert);
    if (!cert_pubkey) {
        spice_debug("warning: reading public key from certificate failed");
        return false;
    }
    bool match = false;
    BIO* bio = key_size <= INT_MAX ? BIO_new_mem_buf(key, static_cast<int>(key_size)) : nullptr;
    EVP_PKEY* orig_pubkey = nullptr;
    if (!bio) {
        spice_debug("creating BIO failed");
    } else if (!(orig_pubkey = d2i_PUBKEY_bio(bio, nullptr))) {
        spice_debug("reading pubkey from bio failed");
    } else {
        switch (EVP_PKEY_eq(orig_pubkey, cert_pubkey)) {
            case 1:
                spice_debug("public keys match");
                match = true;
                break;
            case 0:
                spice_debug("public keys mismatch");
                break;
            default:
                spice_debug("public keys types mismatch");
                break;
        }
    }
    EVP_PKEY_free(orig_pubkey);
    BIO_free(bio);
    EVP_PKEY_free(cert_pubkey);
    return match;
}

bool verify_wildcard_match(const char* cert_name, size_t cert_name_length, const char* hostname) {
    while (cert_name_length > 0 && *hostname && ascii_lower(*cert_name) == ascii_lower(*hostname)) {
        ++cert_name;
        --cert_name_length;
        ++hostname;
    }
    if (cert_name_length == 0 && *hostname == '\0') {
        return true;
    }
    if (cert_name_length > 0 && *cert_name == '*') {
        ++cert_name;
        --cert_name_length;
        // The star takes the empty string or more characters of the current label, never a dot.
        for (;;) {
            if (verify_wildcard_match(cert_name, cert_name_length, hostname)) {
                return true;
            }
            if (*hostname == '\0' || *hostname == '.') {
                return false;
            }
            ++hostname;
        }
    }
    return false;
}

bool verify_hostname(X509* cert, const char* hostname) {
    // A missing host name is a failed check, not a reason to end the process.
    if (!hostname) {
        spice_warning("condition `%s' failed", "hostname != NULL");
        return false;
    }
    if (!cert) {
        spice_debug("warning: no cert!");
        return false;
    }
    uint8_t address[16];
    size_t address_length = parse_ip_host(hostname, address);

    bool seen_alt_name = false;
    bool match = false;
    GENERAL_NAMES* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && !match; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            seen_alt_name = true;
            // An address is compared with address names only, never with a DNS name that spells it.
            const ASN1_IA5STRING* dns = name->d.dNSName;
            if (!address_length &&
                verify_wildcard_match(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                      static_cast<size_t>(ASN1_STRING_length(dns)), hostname)) {
                spice_debug("alt name match=%s", hostname);
                match = true;
            }
        } else if (name->type == GEN_IPADD) {
            seen_alt_name = true;
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            if (address_length && static_cast<size_t>(ASN1_STRING_length(ip)) == address_length &&
                std::memcmp(ASN1_STRING_get0_data(ip), address, address_length) == 0) {
                spice_debug("alt name IP match=%s", hostname);
                match = true;
            }
        }
    }
    GENERAL_NAMES_free(names);
    if (match) {
        return true;
    }
    if (seen_alt_name) {
        spice_debug("warning: SubjectAltName mismatch");
        return false;
    }
    if (address_length) {
        spice_debug("warning: no IP alt name for %s", hostname);
        return false;
    }

    X509_NAME* subject = X509_get_subject_name(cert);
    for (int pos = -1; subject && (pos = X509_NAME_get_index_by_NID(subject, NID_commonName, pos)) >= 0;) {
        unsigned char* common_name = nullptr;
        int length =
            ASN1_STRING_to_UTF8(&common_name, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, pos)));
        if (length >= 0 && verify_wildcard_match(reinterpret_cast<const char*>(common_name),
                                                 static_cast<size_t>(length), hostname)) {
            spice_debug("common name match=%s", hostname);
            match = true;
        }
        OPENSSL_free(common_name);
        if (match) {
            return true;
        }
    }
    spice_debug("warning: common name mismatch");
    return false;
}

X509_NAME* subject_to_x509_name(const char* subject, int* nentries) {
    *nentries = 0;
    if (!subject) {
        spice_warning("condition `%s' failed", "subject != NULL");
        return nullptr;
    }
    X509_NAME* name = X509_NAME_new();
    if (!name) {
        return nullptr;
    }
    enum { KEY, VALUE } state = KEY;
    std::string key, value;
    for (const char* p = subject;; ++p) {
        char c = *p;
        bool escaped = false;
        if (c == '\\') {
            c = *++p;
            if (c != '\\' && c != ',') {
                spice_debug("Invalid character after \\");
                break;
            }
            escaped = true;
        }
        if (state == KEY) {
            if (c == '\0') {
                if (key.empty()) {
                    return name;
                }
                break;
            }
            if (c == ' ' && key.empty()) {
                continue;
            }
            if (c == ',' && !escaped) {
                break;
            }
            if (c == '=' && !escaped) {
                state = VALUE;
                continue;
            }
            key += c;
            continue;
        }
        if (c != '\0' && (c != ',' || escaped)) {
            value += c;
            continue;
        }
        if (value.empty()) {
            break;
        }
        if (!X509_NAME_add_entry_by_txt(name, key.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0)) {
            spice_debug("warning: failed to add entry %s=%s to X509_NAME", key.c_str(), value.c_str());
            break;
        }
        ++*nentries;
        if (c == '\0') {
            return name;
        }
        key.clear();
        value.clear();
        state = KEY;
    }
    X509_NAME_free(name);
    *nentries = 0;
    return nullptr;
}

bool verify_subject(X509* cert, const char* subject) {
    if (!cert) {
        spice_debug("warning: no cert!");
        return false;
    }
    X509_NAME* cert_subject = X509_get_subject_name(cert);
    if (!cert_subject) {
        spice_debug("warning: reading certificate subject failed");
        return false;
    }
    int in_entries = 0;
    X509_NAME* in_subject = subject_to_x509_name(subject, &in_entries);
    if (!in_subject) {
        spice_debug("warning: no in_subject!");
        return false;
    }
    bool match = false;
    int cert_entries = X509_NAME_entry_count(cert_subject);
    if (cert_entries != in_entries) {
        spice_debug("subject mismatch: #entries cert=%d, input=%d", cert_entries, in_entries);
    } else if (X509_NAME_cmp(cert_subject, in_subject) == 0) {
        spice_debug("subjects match");
        match = true;
    } else {
        spice_debug("subjects mismatch");
        spice_debug("cert_subject: %s", name_oneline(cert_subject).c_str());
        spice_debug("in_subject:   %s", name_oneline(in_subject).c_str());
    }
    X509_NAME_free(in_subject);
    return match;
}

SpiceOpenSSLVerify* spice_openssl_verify_new(SSL* ssl, uint32_t verifyop, const char* hostname,
                                             const uint8_t* pubkey, size_t pubkey_size, const char* subject) {
    if (verifyop == 0) {
        return nullptr;
    }
    SpiceOpenSSLVerify* v = static_cast<SpiceOpenSSLVerify*>(spice_malloc0(sizeof(SpiceOpenSSLVerify)));
    v->ssl = ssl;
    v->verifyop = verifyop;
    v->all_preverify_ok = 1;
    v->hostname = spice_strdup(hostname);
    v->pubkey = static_cast<uint8_t*>(spice_memdup(pubkey, pubkey_size));
    v->pubkey_size = v->pubkey ? pubkey_size : 0;
    v->subject = spice_strdup(subject);

    SSL_set_app_data(ssl, v);
    SSL_set_verify(ssl, SSL_VERIFY_PEER, openssl_verify);
    return v;
}

void spice_openssl_verify_free(SpiceOpenSSLVerify* verify) {
    if (!verify) {
        return;
    }
    free(verify->hostname);
    free(verify->pubkey);
    free(verify->subject);
    if (verify->ssl) {
        SSL_set_app_data(verify->ssl, nullptr);
    }
    free(verify);
}
