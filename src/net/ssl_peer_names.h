// The host names a certificate gives its subject, as UTF-8.
//
// A name whose text holds a zero byte is never returned: it could pass for a
// shorter name ("host.example\0.evil") in a comparison of C strings.
#pragma once

#include <vector>

#include "base/ustring.h"

typedef struct x509_st X509;

// The first commonName of the subject; false when there is none or it cannot
// be used.
bool SslSubjectCommonName(X509* cert, ustring& name);

// Every DNS entry of the subjectAltName extension, in certificate order.
std::vector<ustring> SslSubjectAltDnsNames(X509* cert);
