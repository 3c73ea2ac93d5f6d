#include "transport/connection/cert_verify.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kTlsDir = std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/tls";

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
typedef std::unique_ptr<X509, X509Free> CertPtr;
typedef std::unique_ptr<EVP_PKEY, PkeyFree> KeyPtr;

KeyPtr ec_key() {
    return KeyPtr(EVP_EC_gen("P-256"));
}

// A self-signed certificate with the given subject entries ("CN=a" ...) and alternative names in the
// library's configuration form ("DNS:a,IP:1.2.3.4"; empty for none).
CertPtr make_cert(const std::vector<std::string>& subject, const std::string& alt_names, EVP_PKEY* key) {
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const std::string& entry : subject) {
        size_t eq = entry.find('=');
        X509_NAME_add_entry_by_txt(name, entry.substr(0, eq).c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(entry.c_str() + eq + 1), -1, -1, 0);
    }
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    if (!alt_names.empty()) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, alt_names.c_str());
        EXPECT_NE(ext, nullptr) << alt_names;
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert.get(), key, EVP_sha256());
    return cert;
}

std::vector<uint8_t> pubkey_der(EVP_PKEY* key) {
    int length = i2d_PUBKEY(key, nullptr);
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_PUBKEY(key, &p);
    return der;
}

CertPtr load_cert(const std::string& name) {
    BIO* bio = BIO_new_file((kTlsDir + "/" + name).c_str(), "r");
    X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    return CertPtr(cert);
}

KeyPtr load_key(const std::string& name) {
    BIO* bio = BIO_new_file((kTlsDir + "/" + name).c_str(), "r");
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    return KeyPtr(key);
}

TEST(CertVerifyWildcard, MatchesOneLabelPerStarIgnoringCase) {
    struct Case {
        const char* cert_name;
        const char* host;
        bool match;
    } cases[] = {
        {"*.example.com", "www.example.com", true},
        {"*.example.com", "a.b.example.com", false},  // two more labels
        {"*.example.com", "example.com", false},
        {"*", "localhost", true},
        {"*", "www.example", false},  // a star alone is one label
        {"WWW.Example.COM", "www.example.com", true},
        {"w*w.example.com", "www.example.com", true},
        {"w*.*.com", "wx.example.com", true},       // several stars
        {"*w.example.com", "w.example.com", true},  // the empty string
        {"www.example.com", "www.example.co", false},
        {"www.example.co", "www.example.com", false},
        {"", "", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(verify_wildcard_match(c.cert_name, strlen(c.cert_name), c.host), c.match)
            << c.cert_name << " vs " << c.host;
    }
    // A NUL inside a certificate name never lets its tail be skipped.
    const char with_nul[] = "good.example\0.evil.example";
    EXPECT_FALSE(verify_wildcard_match(with_nul, sizeof with_nul - 1, "good.example"));
}

TEST(CertVerifyHostname, AltNamesDecideOverTheCommonNameAndAddressesMatchAddressesOnly) {
    KeyPtr key = ec_key();
    struct Case {
        const char* what;
        std::vector<std::string> subject;
        const char* alt_names;
        const char* host;
        bool match;
    } cases[] = {
        {"dns alt name", {"CN=other"}, "DNS:spice.example", "spice.example", true},
        {"wildcard alt name", {}, "DNS:*.example", "spice.example", true},
        {"second alt name", {}, "DNS:a.example,DNS:spice.example", "spice.example", true},
        {"alt name mismatch beats matching common name",
         {"CN=spice.example"},
         "DNS:other.example",
         "spice.example",
         false},
        {"common name without alt names", {"CN=other", "CN=Spice.Example"}, "", "spice.example", true},
        {"common name mismatch", {"CN=other"}, "", "spice.example", false},
        {"ip alt name", {}, "IP:10.1.2.3", "10.1.2.3", true},
        {"other ip", {}, "IP:10.1.2.3", "10.1.2.4", false},
        {"ip host never matches a dns name spelling it", {}, "DNS:10.1.2.3", "10.1.2.3", false},
        {"ip host never matches the common name", {"CN=10.1.2.3"}, "", "10.1.2.3", false},
        {"ipv6 alt name", {}, "IP:::1", "::1", true},
        {"ipv4 host against ipv6 name", {}, "IP:::ffff:10.1.2.3", "10.1.2.3", false},
        {"dns host against ip name", {}, "IP:10.1.2.3", "spice.example", false},
        {"not quite an address is a name", {}, "DNS:10.1.2.3.example", "10.1.2.3.example", true},
    };
    for (const Case& c : cases) {
        CertPtr cert = make_cert(c.subject, c.alt_names, key.get());
        EXPECT_EQ(verify_hostname(cert.get(), c.host), c.match) << c.what;
    }
}

TEST(CertVerifyHostname, MissingHostNameOrCertificateIsNoMatchNotAnAbort) {
    KeyPtr key = ec_key();
    CertPtr cert = make_cert({"CN=x"}, "DNS:x", key.get());
    EXPECT_FALSE(verify_hostname(cert.get(), nullptr));
    EXPECT_FALSE(verify_hostname(nullptr, "x"));
}

TEST(CertVerifySubject, ParsesEscapesSpacesAndTrailingComma) {
    int entries = -1;
    X509_NAME* name = subject_to_x509_name("O=Acme\\, Inc, CN=a\\\\b,", &entries);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(entries, 2);
    ASSERT_EQ(X509_NAME_entry_count(name), 2);
    auto value = [&](int i) {
        ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
        return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                           static_cast<size_t>(ASN1_STRING_length(data)));
    };
    EXPECT_EQ(value(0), "Acme, Inc");
    EXPECT_EQ(value(1), "a\\b");
    X509_NAME_free(name);

    name = subject_to_x509_name("", &entries);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(entries, 0);
    X509_NAME_free(name);
}

TEST(CertVerifySubject, RefusesMalformedTexts) {
    const char* bad[] = {
        "CN",           // key without "=" at the end
        "CN=",          // empty value
        "CN=a,,O=b",    // comma in the key state
        "CN=a\\x",      // backslash before another character
        "CN=a\\",       // backslash at the end
        "NOSUCHKEY=a",  // a key the library does not know
        "CN=a,O",       // second key without value
    };
    for (const char* text : bad) {
        int entries = -1;
        X509_NAME* name = subject_to_x509_name(text, &entries);
        EXPECT_EQ(name, nullptr) << text;
        EXPECT_EQ(entries, 0) << text;
        X509_NAME_free(name);
    }
    int entries = -1;
    EXPECT_EQ(subject_to_x509_name(nullptr, &entries), nullptr);
}

TEST(CertVerifySubject, ComparesEntryCountAndEntries) {
    CertPtr cert = load_cert("server-cert.pem");
    ASSERT_TRUE(cert);
    EXPECT_TRUE(verify_subject(cert.get(), "C=XX, O=KTW Test, CN=spice-server"));
    EXPECT_FALSE(verify_subject(cert.get(), "C=XX, O=KTW Test"));                   // fewer entries
    EXPECT_FALSE(verify_subject(cert.get(), "C=XX, O=KTW Test, CN=other"));         // other value
    EXPECT_FALSE(verify_subject(cert.get(), "CN=spice-server, O=KTW Test, C=XX"));  // other order
    EXPECT_FALSE(verify_subject(cert.get(), "C=XX, O=KTW Test, CN"));               // does not parse
    EXPECT_FALSE(verify_subject(nullptr, "C=XX"));
}

TEST(CertVerifyPubkey, OnlyTheSameKeyMatches) {
    CertPtr cert = load_cert("server-cert.pem");
    ASSERT_TRUE(cert);
    KeyPtr server_key = load_key("server-key.pem");
    KeyPtr other_rsa = load_key("ca-key.pem");
    KeyPtr ec = ec_key();
    std::vector<uint8_t> same = pubkey_der(server_key.get());
    std::vector<uint8_t> other = pubkey_der(other_rsa.get());
    std::vector<uint8_t> other_type = pubkey_der(ec.get());

    EXPECT_TRUE(verify_pubkey(cert.get(), same.data(), same.size()));
    EXPECT_FALSE(verify_pubkey(cert.get(), other.data(), other.size()));
    EXPECT_FALSE(verify_pubkey(cert.get(), other_type.data(), other_type.size()));
    EXPECT_FALSE(verify_pubkey(cert.get(), same.data(), same.size() - 1));  // truncated DER
    EXPECT_FALSE(verify_pubkey(cert.get(), nullptr, 0));
    EXPECT_FALSE(verify_pubkey(nullptr, same.data(), same.size()));
}

// A client and a server connected through memory, handshaking on this thread: the call-back decides whether
// the client accepts what the server shows.
class HandshakeTest : public testing::Test {
protected:
    void TearDown() override {
        spice_openssl_verify_free(_verify);
        SSL_free(_client);
        SSL_free(_server);
        SSL_CTX_free(_client_ctx);
        SSL_CTX_free(_server_ctx);
    }

    // chain: PEM files the server sends after its certificate. trust_ca: whether the client loads the test
    // CA.
    bool handshake(const std::string& server, const std::vector<std::string>& chain, bool trust_ca,
                   uint32_t flags, const char* host, const std::vector<uint8_t>& pubkey = {},
                   const char* subject = "") {
        _server_ctx = SSL_CTX_new(TLS_server_method());
        _client_ctx = SSL_CTX_new(TLS_client_method());
        EXPECT_EQ(SSL_CTX_use_certificate_file(_server_ctx, (kTlsDir + "/" + server + "-cert.pem").c_str(),
                                               SSL_FILETYPE_PEM),
                  1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey_file(_server_ctx, (kTlsDir + "/" + server + "-key.pem").c_str(),
                                              SSL_FILETYPE_PEM),
                  1);
        for (const std::string& extra : chain) {
            SSL_CTX_add_extra_chain_cert(_server_ctx, load_cert(extra).release());
        }
        if (trust_ca) {
            EXPECT_EQ(SSL_CTX_load_verify_locations(_client_ctx, (kTlsDir + "/ca-cert.pem").c_str(), nullptr),
                      1);
        }
        _server = SSL_new(_server_ctx);
        _client = SSL_new(_client_ctx);
        BIO* client_side = nullptr;
        BIO* server_side = nullptr;
        BIO_new_bio_pair(&client_side, 0, &server_side, 0);
        SSL_set_bio(_client, client_side, client_side);
        SSL_set_bio(_server, server_side, server_side);
        SSL_set_connect_state(_client);
        SSL_set_accept_state(_server);
        _verify = spice_openssl_verify_new(_client, flags, host, pubkey.data(), pubkey.size(), subject);

        for (int round = 0; round < 20; ++round) {
            int client = SSL_do_handshake(_client);
            int server = SSL_do_handshake(_server);
            if (client == 1 && server == 1) {
                return true;
            }
            if (client <= 0 && SSL_get_error(_client, client) != SSL_ERROR_WANT_READ) {
                return false;
            }
        }
        return false;
    }

    SSL_CTX* _server_ctx = nullptr;
    SSL_CTX* _client_ctx = nullptr;
    SSL* _server = nullptr;
    SSL* _client = nullptr;
    SpiceOpenSSLVerify* _verify = nullptr;
};

TEST_F(HandshakeTest, NoFlagsInstallNothing) {
    EXPECT_TRUE(handshake("self-signed", {}, false, 0, "localhost"));
    EXPECT_EQ(_verify, nullptr);
}

TEST_F(HandshakeTest, HostNameOfACertificateTheCaSigned) {
    EXPECT_TRUE(handshake("server", {}, true, SPICE_SSL_VERIFY_HOSTNAME, "localhost"));
}

TEST_F(HandshakeTest, WrongHostNameIsRejected) {
    EXPECT_FALSE(handshake("wrong-name", {}, true, SPICE_SSL_VERIFY_HOSTNAME, "localhost"));
}

TEST_F(HandshakeTest, UnknownIssuerIsRejectedWhateverTheName) {
    EXPECT_FALSE(handshake("server", {}, false, SPICE_SSL_VERIFY_HOSTNAME, "localhost"));
}

TEST_F(HandshakeTest, SubjectDecidesWhenBothSubjectAndHostNameAreAsked) {
    uint32_t both = SPICE_SSL_VERIFY_SUBJECT | SPICE_SSL_VERIFY_HOSTNAME;
    EXPECT_TRUE(handshake("server", {}, true, both, "no.such.host", {}, "C=XX,O=KTW Test,CN=spice-server"));
}

TEST_F(HandshakeTest, SubjectMismatchIsRejectedEvenWithAGoodHostName) {
    uint32_t both = SPICE_SSL_VERIFY_SUBJECT | SPICE_SSL_VERIFY_HOSTNAME;
    EXPECT_FALSE(handshake("server", {}, true, both, "localhost", {}, "C=XX,O=KTW Test,CN=other"));
}

TEST_F(HandshakeTest, MatchingPublicKeyAcceptsAnUntrustedCertificate) {
    KeyPtr key = load_key("self-signed-key.pem");
    EXPECT_TRUE(
        handshake("self-signed", {}, false, SPICE_SSL_VERIFY_PUBKEY, "localhost", pubkey_der(key.get())));
}

TEST_F(HandshakeTest, OtherPublicKeyIsRejected) {
    KeyPtr key = load_key("server-key.pem");
    EXPECT_FALSE(
        handshake("self-signed", {}, false, SPICE_SSL_VERIFY_PUBKEY, "localhost", pubkey_der(key.get())));
}

// The server sends the CA with its certificate, and the client does not trust that CA: the library reports a
// self-signed certificate in the chain (error 19), which only a public-key check forgives.
TEST_F(HandshakeTest, SelfSignedIssuerInTheChainIsForgivenOnlyForAPublicKeyCheck) {
    KeyPtr key = load_key("server-key.pem");
    uint32_t flags = SPICE_SSL_VERIFY_PUBKEY | SPICE_SSL_VERIFY_HOSTNAME;
    EXPECT_TRUE(handshake("server", {"ca-cert.pem"}, false, flags, "localhost", pubkey_der(key.get())));
}

// The forgiven chain error still counts: with a wrong key, a good host name does not save the certificate.
TEST_F(HandshakeTest, ForgivenChainErrorRejectsWhenThePublicKeyDiffers) {
    KeyPtr key = load_key("self-signed-key.pem");
    uint32_t flags = SPICE_SSL_VERIFY_PUBKEY | SPICE_SSL_VERIFY_HOSTNAME;
    EXPECT_FALSE(handshake("server", {"ca-cert.pem"}, false, flags, "localhost", pubkey_der(key.get())));
}

TEST_F(HandshakeTest, SelfSignedIssuerInTheChainFailsAHostNameCheck) {
    EXPECT_FALSE(handshake("server", {"ca-cert.pem"}, false, SPICE_SSL_VERIFY_HOSTNAME, "localhost"));
}

TEST_F(HandshakeTest, ObjectCopiesItsExpectationsAndFreeDetachesIt) {
    std::string host = "localhost";
    _server_ctx = SSL_CTX_new(TLS_server_method());
    _client_ctx = SSL_CTX_new(TLS_client_method());
    _client = SSL_new(_client_ctx);
    std::vector<uint8_t> key = {1, 2, 3};
    SpiceOpenSSLVerify* v = spice_openssl_verify_new(_client, SPICE_SSL_VERIFY_HOSTNAME, host.c_str(),
                                                     key.data(), key.size(), nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(SSL_get_app_data(_client), v);
    EXPECT_EQ(SSL_get_verify_mode(_client), SSL_VERIFY_PEER);
    EXPECT_NE(v->hostname, host.c_str());
    EXPECT_STREQ(v->hostname, "localhost");
    EXPECT_EQ(v->pubkey_size, 3u);
    EXPECT_EQ(v->subject, nullptr);
    EXPECT_EQ(v->all_preverify_ok, 1);
    spice_openssl_verify_free(v);
    EXPECT_EQ(SSL_get_app_data(_client), nullptr);
    spice_openssl_verify_free(nullptr);
}

}  // namespace
