// Keys and certificates made at run time for SSL tests, written as PEM
// files: a test CA and certificates it signs (or that sign themselves), with
// any common name, alternative DNS names and validity window.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace tidewell::testing {

struct CertOptions {
    // Empty: the subject has no commonName. May hold zero bytes.
    std::string common_name;
    std::vector<std::string> dns_names;
    // Validity relative to now, in seconds.
    long not_before = -3600;
    long not_after = 86400;
    bool is_ca = false;
};

// A key pair and its certificate.
class TestCert {
public:
    // Signed by `issuer`, or self-signed when it is null.
    TestCert(const CertOptions& options, const TestCert* issuer);
    ~TestCert();
    TestCert(const TestCert&) = delete;
    TestCert& operator=(const TestCert&) = delete;

    // Write PEM files; the paths are returned.
    std::string WriteCert(const std::string& path) const;
    std::string WriteKey(const std::string& path) const;

    X509* cert() const { return cert_; }
    EVP_PKEY* key() const { return key_; }

private:
    EVP_PKEY* key_ = nullptr;
    X509* cert_ = nullptr;
};

}  // namespace tidewell::testing
