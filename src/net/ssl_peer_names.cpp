#include "net/ssl_peer_names.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace {

// The string's text as UTF-8; false when it cannot be converted or holds a
// zero byte.
bool ToUtf8(const ASN1_STRING* in, ustring& out) {
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, in);
    if (len < 0) return false;
    bool ok = memchr(utf8, 0, static_cast<size_t>(len)) == nullptr;
    if (ok) out.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    return ok;
}

}  // namespace

bool SslSubjectCommonName(X509* cert, ustring& name) {
    X509_NAME* subject = cert ? X509_get_subject_name(cert) : nullptr;
    if (subject == nullptr) return false;
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) return false;
    X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, index);
    const ASN1_STRING* data = entry ? X509_NAME_ENTRY_get_data(entry) : nullptr;
    return data != nullptr && ToUtf8(data, name);
}

std::vector<ustring> SslSubjectAltDnsNames(X509* cert) {
    std::vector<ustring> names;
    if (cert == nullptr) return names;
    auto* alt = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (alt == nullptr) return names;
    for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(alt, i);
        if (entry->type != GEN_DNS) continue;
        ustring name;
        if (ToUtf8(entry->d.dNSName, name)) names.push_back(name);
    }
    GENERAL_NAMES_free(alt);
    return names;
}
