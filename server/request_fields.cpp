#include "server/request_fields.h"

namespace tw_server {

const PObject* RequestFields::Find(const std::string& key) const {
    const PObject* at = &request_;
    size_t start = 0;
    while (start <= key.size()) {
        size_t dot = key.find('.', start);
        if (dot == std::string::npos) dot = key.size();
        ustring part(key.substr(start, dot - start));
        if (!at->isMap() || !at->hasMember(part)) return nullptr;
        at = &(*at)[part];
        start = dot + 1;
    }
    return at;
}

bool RequestFields::Problem(const std::string& text) {
    if (problem_.empty()) problem_ = text;
    return false;
}

bool RequestFields::Has(const std::string& key) const {
    return Find(key) != nullptr;
}

bool RequestFields::String(const std::string& key, std::string& out, bool required) {
    const PObject* v = Find(key);
    if (v == nullptr) return required ? Problem("missing member \"" + key + "\"") : true;
    if (!v->isString()) return Problem("member \"" + key + "\" is not a string");
    out = v->asString().str();
    return true;
}

bool RequestFields::Integer(const std::string& key, uint64_t& out, bool required) {
    const PObject* v = Find(key);
    if (v == nullptr) return required ? Problem("missing member \"" + key + "\"") : true;
    if (!v->isInteger()) return Problem("member \"" + key + "\" is not an integer");
    out = v->asInteger();
    return true;
}

bool RequestFields::Bool(const std::string& key, bool& out, bool required) {
    const PObject* v = Find(key);
    if (v == nullptr) return required ? Problem("missing member \"" + key + "\"") : true;
    if (!v->isInteger() || v->asInteger() > 1) return Problem("member \"" + key + "\" is not a boolean (0 or 1)");
    out = v->asInteger() == 1;
    return true;
}

const PObject* RequestFields::Map(const std::string& key, bool required) {
    const PObject* v = key.empty() ? &request_ : Find(key);
    if (v == nullptr) {
        if (required) Problem("missing member \"" + key + "\"");
        return nullptr;
    }
    if (!v->isMap()) {
        Problem("member \"" + key + "\" is not a map");
        return nullptr;
    }
    return v;
}

}  // namespace tw_server
