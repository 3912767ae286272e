// Typed reading of a decoded request's members.
//
// A PObject reads forgivingly (a missing member is 0 or empty); a request
// must not: each accessor tells whether the member is there with the right
// type, and the first problem is kept for the error answer. Booleans travel
// as the integers 0 and 1; anything else is refused.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "value/pobject.h"

namespace tw_server {

class RequestFields {
public:
    // `nul_members`: members whose string held a NUL byte (RequestReader).
    RequestFields(const PObject& request, const std::set<std::string>& nul_members)
        : request_(request), nul_members_(nul_members) {}

    // Each returns false and records a problem when the member is missing
    // (and required) or has the wrong type; a missing optional member
    // leaves `out` untouched and returns true. Keys may be dotted ("file.size").
    bool String(const std::string& key, std::string& out, bool required = true);
    bool Integer(const std::string& key, uint64_t& out, bool required = true);
    bool Bool(const std::string& key, bool& out, bool required = true);
    // A map member (or the request itself for ""); null when missing or of
    // another type (the latter recorded as a problem).
    const PObject* Map(const std::string& key, bool required = true);
    bool Has(const std::string& key) const;

    // The member's raw text: whether it held a NUL byte (a path with one is
    // refused as a path, not as a malformed request).
    bool HadNul(const std::string& key) const { return nul_members_.count(key) != 0; }

    bool ok() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

private:
    const PObject* Find(const std::string& key) const;
    bool Problem(const std::string& text);

    const PObject& request_;
    const std::set<std::string>& nul_members_;
    std::string problem_;
};

}  // namespace tw_server
