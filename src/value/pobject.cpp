#include "value/pobject.h"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

const PObject PObject::empty_object;
const PObject::map PObject::empty_map;
const PObject::vector PObject::empty_array;
const PObject::binary_type PObject::empty_binary;

void* PObject::clonePayload(int type, const void* data) {
    switch (type) {
        case TYPE_ARRAY:
            return new vector(*static_cast<const vector*>(data));
        case TYPE_MAP:
            return new map(*static_cast<const map*>(data));
        case TYPE_INTEGER:
            return new uint64_t(*static_cast<const uint64_t*>(data));
        case TYPE_STRING:
            return new ustring(*static_cast<const ustring*>(data));
        case TYPE_BINARY:
            return new binary_type(*static_cast<const binary_type*>(data));
        default:
            return nullptr;
    }
}

void PObject::clear() {
    switch (type) {
        case TYPE_ARRAY:
            delete static_cast<vector*>(data);
            break;
        case TYPE_MAP:
            delete static_cast<map*>(data);
            break;
        case TYPE_INTEGER:
            delete static_cast<uint64_t*>(data);
            break;
        case TYPE_STRING:
            delete static_cast<ustring*>(data);
            break;
        case TYPE_BINARY:
            delete static_cast<binary_type*>(data);
            break;
        default:
            break;
    }
    type = TYPE_NULL;
    data = nullptr;
}

void PObject::reset(int new_type, void* new_data) {
    // The new payload is complete before the old one goes, so assigning a
    // value from inside its own tree is safe.
    clear();
    type = new_type;
    data = new_data;
}

PObject::PObject(const PObject& other) : type(other.type), data(clonePayload(other.type, other.data)) {}
PObject::PObject(const char* s) : type(TYPE_STRING), data(new ustring(s ? s : "")) {}
PObject::PObject(const ustring& s) : type(TYPE_STRING), data(new ustring(s)) {}
PObject::PObject(uint64_t v) : type(TYPE_INTEGER), data(new uint64_t(v)) {}

PObject& PObject::operator=(const PObject& other) {
    if (this != &other) reset(other.type, clonePayload(other.type, other.data));
    return *this;
}

PObject& PObject::operator=(PObject&& other) noexcept {
    if (this != &other) {
        PObject taken(std::move(other));
        swap(taken);
    }
    return *this;
}

PObject& PObject::operator=(const char* s) {
    reset(TYPE_STRING, new ustring(s ? s : ""));
    return *this;
}
PObject& PObject::operator=(const ustring& s) {
    reset(TYPE_STRING, new ustring(s));
    return *this;
}
PObject& PObject::operator=(uint64_t v) {
    reset(TYPE_INTEGER, new uint64_t(v));
    return *this;
}
PObject& PObject::operator=(uint32_t v) {
    return *this = uint64_t{v};
}
PObject& PObject::operator=(int32_t v) {
    return *this = static_cast<uint64_t>(static_cast<int64_t>(v));
}
PObject& PObject::operator=(int64_t v) {
    return *this = static_cast<uint64_t>(v);
}
PObject& PObject::operator=(bool v) {
    return *this = uint64_t{v ? 1u : 0u};
}
PObject& PObject::operator=(const map& m) {
    reset(TYPE_MAP, new map(m));
    return *this;
}
PObject& PObject::operator=(const vector& a) {
    reset(TYPE_ARRAY, new vector(a));
    return *this;
}
PObject& PObject::operator=(const binary_type& b) {
    reset(TYPE_BINARY, new binary_type(b));
    return *this;
}

void PObject::swap(PObject& other) noexcept {
    std::swap(type, other.type);
    std::swap(data, other.data);
}

ustring PObject::asString() const {
    if (isString()) return *static_cast<const ustring*>(data);
    if (isInteger()) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(asUInt32()));
        return ustring(buf);
    }
    return ustring();
}

PObject::map& PObject::asMap() {
    if (!isMap()) reset(TYPE_MAP, new map());
    return *static_cast<map*>(data);
}

PObject::vector& PObject::asArray() {
    if (!isArray()) reset(TYPE_ARRAY, new vector());
    return *static_cast<vector*>(data);
}

PObject::binary_type& PObject::asBinary() {
    if (!isBinary()) reset(TYPE_BINARY, new binary_type());
    return *static_cast<binary_type*>(data);
}

const PObject& PObject::operator[](const ustring& key) const {
    if (!isMap()) return empty_object;
    const map& m = *static_cast<const map*>(data);
    auto it = m.find(key);
    return it == m.end() ? empty_object : it->second;
}

PObject& PObject::operator[](const ustring& key) {
    return asMap()[key];
}

bool PObject::hasMember(const ustring& key) const {
    return isMap() && asMap().count(key) != 0;
}

const PObject& PObject::operator[](size_t i) const {
    if (isArray()) {
        const vector& a = *static_cast<const vector*>(data);
        return i < a.size() ? a[i] : empty_object;
    }
    if (isMap()) {
        const map& m = *static_cast<const map*>(data);
        if (i >= m.size()) return empty_object;
        auto it = m.begin();
        std::advance(it, i);
        return it->second;
    }
    return empty_object;
}

PObject& PObject::operator[](size_t i) {
    if (isArray()) {
        vector& a = *static_cast<vector*>(data);
        if (i < a.size()) return a[i];
    } else if (isMap()) {
        map& m = *static_cast<map*>(data);
        if (i < m.size()) {
            auto it = m.begin();
            std::advance(it, i);
            return it->second;
        }
    }
    throw std::out_of_range("out_of_range: PObject::operator[]");
}

bool PObject::isEmpty() const {
    switch (type) {
        case TYPE_NULL:
            return true;
        case TYPE_ARRAY:
            return static_cast<const vector*>(data)->empty();
        case TYPE_MAP:
            return static_cast<const map*>(data)->empty();
        case TYPE_STRING:
            return static_cast<const ustring*>(data)->empty();
        case TYPE_BINARY:
            return static_cast<const binary_type*>(data)->empty();
        default:
            return false;
    }
}

void PObject::toStringAppend(std::string& out) const {
    switch (type) {
        case TYPE_INTEGER:
            out += std::to_string(asInteger());
            break;
        case TYPE_STRING:
            out += '"';
            out += static_cast<const ustring*>(data)->view();
            out += '"';
            break;
        case TYPE_ARRAY: {
            out += '[';
            bool first = true;
            for (const PObject& e : *static_cast<const vector*>(data)) {
                if (!first) out += ", ";
                first = false;
                e.toStringAppend(out);
            }
            out += ']';
            break;
        }
        case TYPE_MAP: {
            out += '{';
            bool first = true;
            for (const auto& [key, value] : *static_cast<const map*>(data)) {
                if (!first) out += ", ";
                first = false;
                out += '"';
                out += key.view();
                out += "\": ";
                value.toStringAppend(out);
            }
            out += '}';
            break;
        }
        case TYPE_BINARY: {
            const binary_type& b = *static_cast<const binary_type*>(data);
            out += "{offset: " + std::to_string(b.offset) + ", length: " + std::to_string(b.length) + ", path: \"";
            out += b.path.view();
            out += "\"}";
            break;
        }
        default:
            out += "null";
            break;
    }
}

ustring PObject::toString() const {
    std::string out;
    toStringAppend(out);
    return ustring(out);
}

bool PObject::operator==(const PObject& other) const {
    if (type != other.type) return false;
    switch (type) {
        case TYPE_NULL:
            return true;
        case TYPE_ARRAY:
            return *static_cast<const vector*>(data) == *static_cast<const vector*>(other.data);
        case TYPE_MAP:
            return *static_cast<const map*>(data) == *static_cast<const map*>(other.data);
        case TYPE_INTEGER:
            return asInteger() == other.asInteger();
        case TYPE_STRING:
            return *static_cast<const ustring*>(data) == *static_cast<const ustring*>(other.data);
        case TYPE_BINARY:
            return *static_cast<const binary_type*>(data) == *static_cast<const binary_type*>(other.data);
        default:
            return false;
    }
}
