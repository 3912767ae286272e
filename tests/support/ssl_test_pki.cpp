#include "support/ssl_test_pki.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>

namespace tidewell::testing {

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "test PKI: %s failed\n", what);
        abort();
    }
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Check(ext != nullptr, "X509V3_EXT_conf_nid");
    Check(X509_add_ext(cert, ext, -1) == 1, "X509_add_ext");
    X509_EXTENSION_free(ext);
}

}  // namespace

TestCert::TestCert(const CertOptions& options, const TestCert* issuer) {
    key_ = EVP_EC_gen("P-256");
    Check(key_ != nullptr, "EVP_EC_gen");
    cert_ = X509_new();
    Check(cert_ != nullptr, "X509_new");
    X509_set_version(cert_, 2);
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert_), options.not_before);
    X509_gmtime_adj(X509_getm_notAfter(cert_), options.not_after);
    X509_set_pubkey(cert_, key_);

    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tidewell Test"), -1, -1,
                               0);
    if (!options.common_name.empty()) {
        Check(X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>(options.common_name.data()),
                                         static_cast<int>(options.common_name.size()), -1, 0) == 1,
              "commonName");
    }
    X509* issuer_cert = issuer ? issuer->cert_ : cert_;
    EVP_PKEY* issuer_key = issuer ? issuer->key_ : key_;
    X509_set_issuer_name(cert_, X509_get_subject_name(issuer_cert));

    if (options.is_ca) {
        AddExtension(cert_, issuer_cert, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert_, issuer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert_, issuer_cert, NID_basic_constraints, "CA:FALSE");
    }
    AddExtension(cert_, issuer_cert, NID_subject_key_identifier, "hash");
    if (issuer) AddExtension(cert_, issuer_cert, NID_authority_key_identifier, "keyid:always");
    if (!options.dns_names.empty()) {
        std::string alt;
        for (const std::string& dns : options.dns_names) alt += (alt.empty() ? "DNS:" : ",DNS:") + dns;
        AddExtension(cert_, issuer_cert, NID_subject_alt_name, alt);
    }
    Check(X509_sign(cert_, issuer_key, EVP_sha256()) > 0, "X509_sign");
}

TestCert::~TestCert() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
}

std::string TestCert::WriteCert(const std::string& path) const {
    FILE* f = fopen(path.c_str(), "w");
    Check(f != nullptr, "fopen");
    Check(PEM_write_X509(f, cert_) == 1, "PEM_write_X509");
    fclose(f);
    return path;
}

std::string TestCert::WriteKey(const std::string& path) const {
    FILE* f = fopen(path.c_str(), "w");
    Check(f != nullptr, "fopen");
    Check(PEM_write_PrivateKey(f, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM_write_PrivateKey");
    fclose(f);
    return path;
}

}  // namespace tidewell::testing
