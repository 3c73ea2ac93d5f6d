// Checks of the server's certificate during a TLS connect: its public key against a key given in advance, the
// host name against its alternative names or common name, its subject against a subject text. A verification
// object carries the expectations; it is attached to the TLS connection, whose verify call-back runs for
// every certificate of the chain during the handshake, on the connecting thread.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

// Verification flags; the same values as RedPeer::HostCheckOptions' authentication flags.
enum : uint32_t {
    SPICE_SSL_VERIFY_PUBKEY = 1,
    SPICE_SSL_VERIFY_HOSTNAME = 2,
    SPICE_SSL_VERIFY_SUBJECT = 4,
};

struct SpiceOpenSSLVerify {
    SSL* ssl;
    uint32_t verifyop;
    int all_preverify_ok;  // cleared when a certificate above the server's failed the library's check
    char* hostname;
    uint8_t* pubkey;  // DER SubjectPublicKeyInfo; null when none was given
    size_t pubkey_size;
    char* subject;
};

// Flags 0 give null and install nothing: the handshake then checks nothing. Otherwise the object (with its
// own copies of the texts and the key) becomes the connection's application data and its verify call-back is
// set.
SpiceOpenSSLVerify* spice_openssl_verify_new(SSL* ssl, uint32_t verifyop, const char* hostname,
                                             const uint8_t* pubkey, size_t pubkey_size, const char* subject);
// Detaches the object from its connection and frees it; null does nothing.
void spice_openssl_verify_free(SpiceOpenSSLVerify* verify);

// The single checks, shared with the tests. Each is false for a missing certificate or a missing expectation.
bool verify_pubkey(X509* cert, const uint8_t* key, size_t key_size);
bool verify_hostname(X509* cert, const char* hostname);
bool verify_subject(X509* cert, const char* subject);
// A certificate name (with its length: it may hold a NUL) against a host name; "*" matches within one label.
bool verify_wildcard_match(const char* cert_name, size_t cert_name_length, const char* hostname);
// The subject text "key=value,key=value" as a name; null when it does not parse. The caller frees it.
X509_NAME* subject_to_x509_name(const char* subject, int* nentries);
