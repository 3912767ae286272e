// The dynamic value of control messages and protocol payloads: null, an
// unsigned 64-bit integer, a string, a binary (a byte range of a file), an
// array, or a map from string to value.
//
// Reads are forgiving: a missing member or a value of the wrong type reads
// as a neutral value (null, 0, empty). Writes through a key or the
// non-const as*() accessors turn the value into the wanted type on the spot.
// Copies are deep; every value owns its payload exclusively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "base/ustring.h"

class PObject {
public:
    enum {
        TYPE_NULL = 0,
        TYPE_ARRAY = 1,
        TYPE_MAP = 2,
        TYPE_INTEGER = 3,
        TYPE_STRING = 4,
        TYPE_BINARY = 5,
    };

    // A byte range of a file; empty when `path` is empty.
    struct binary_type {
        uint64_t offset = 0;
        uint64_t length = 0;
        ustring path;

        bool empty() const { return path.empty(); }
        void clear() {
            offset = 0;
            length = 0;
            path.clear();
        }
        bool operator==(const binary_type& o) const {
            return offset == o.offset && length == o.length && path == o.path;
        }
    };

    typedef std::map<ustring, PObject> map;
    typedef std::vector<PObject> vector;

    // The type number of each payload type.
    template <typename T>
    struct type_trait;

    // Shared read-only values that the const accessors hand out for absent
    // things.
    static const PObject empty_object;
    static const map empty_map;
    static const vector empty_array;
    static const binary_type empty_binary;

    PObject() : type(TYPE_NULL), data(nullptr) {}
    PObject(const PObject& other);
    PObject(PObject&& other) noexcept : type(other.type), data(other.data) {
        other.type = TYPE_NULL;
        other.data = nullptr;
    }
    PObject(const char* s);
    PObject(const ustring& s);
    PObject(uint64_t v);
    ~PObject() { clear(); }

    PObject& operator=(const PObject& other);
    PObject& operator=(PObject&& other) noexcept;
    PObject& copy(const PObject& other) { return *this = other; }
    PObject& operator=(const char* s);
    PObject& operator=(const ustring& s);
    PObject& operator=(uint64_t v);
    PObject& operator=(uint32_t v);
    // Sign-extended: -1 becomes all ones.
    PObject& operator=(int32_t v);
    // Stored as the 64-bit two's complement.
    PObject& operator=(int64_t v);
    PObject& operator=(bool v);
    PObject& operator=(const map& m);
    PObject& operator=(const vector& a);
    PObject& operator=(const binary_type& b);

    void swap(PObject& other) noexcept;
    void clear();

    int getType() const { return type; }
    bool isNull() const { return type == TYPE_NULL; }
    bool isArray() const { return type == TYPE_ARRAY; }
    bool isMap() const { return type == TYPE_MAP; }
    bool isInteger() const { return type == TYPE_INTEGER; }
    bool isString() const { return type == TYPE_STRING; }
    bool isBinary() const { return type == TYPE_BINARY; }
    bool isContainer() const { return isArray() || isMap(); }
    bool isPrimitive() const { return isInteger() || isString() || isBinary(); }

    // Reading as a type; 0 for a value of any other type. The narrow forms
    // take the low bits without a range check.
    uint64_t asInteger() const { return isInteger() ? *static_cast<const uint64_t*>(data) : 0; }
    uint64_t asUInt64() const { return asInteger(); }
    int64_t asInt64() const { return static_cast<int64_t>(asInteger()); }
    uint32_t asUInt32() const { return static_cast<uint32_t>(asInteger()); }
    int32_t asInt32() const { return static_cast<int32_t>(asUInt32()); }
    uint16_t asUInt16() const { return static_cast<uint16_t>(asInteger()); }
    int16_t asInt16() const { return static_cast<int16_t>(asUInt16()); }
    uint8_t asUInt8() const { return static_cast<uint8_t>(asInteger()); }
    int8_t asInt8() const { return static_cast<int8_t>(asUInt8()); }
    // An integer: whether it is non-zero; anything else: whether it is not
    // empty.
    bool asBool() const { return isInteger() ? asInteger() != 0 : !isEmpty(); }
    // The string; for an integer the decimal form of its low 32 bits; empty
    // for anything else.
    ustring asString() const;

    const map& asMap() const { return isMap() ? *static_cast<const map*>(data) : empty_map; }
    const vector& asArray() const { return isArray() ? *static_cast<const vector*>(data) : empty_array; }
    const binary_type& asBinary() const { return isBinary() ? *static_cast<const binary_type*>(data) : empty_binary; }
    // Turn the value into an empty map, array or binary first when it holds
    // another type.
    map& asMap();
    vector& asArray();
    binary_type& asBinary();

    // The member of a map, or empty_object.
    const PObject& operator[](const ustring& key) const;
    // The member, inserted as null when missing; a value that is not a map
    // becomes an empty map first.
    PObject& operator[](const ustring& key);
    bool hasMember(const ustring& key) const;
    // Element i of an array, or the member at position i of a map in key
    // order; empty_object past the end or for other types.
    const PObject& operator[](size_t i) const;
    // The same, but throws std::out_of_range where the const form gives
    // empty_object; it never creates anything.
    PObject& operator[](size_t i);

    // Null, empty containers, the empty string and a binary without a path;
    // an integer is never empty.
    bool isEmpty() const;

    // A one-line rendering for log messages.
    ustring toString() const;

    // Deep equality of type and payload.
    bool operator==(const PObject& other) const;
    bool operator!=(const PObject& other) const { return !(*this == other); }

private:
    void toStringAppend(std::string& out) const;
    // Installs a new payload after releasing the old one.
    void reset(int new_type, void* new_data);
    static void* clonePayload(int type, const void* data);

    int type;
    void* data;
};

template <>
struct PObject::type_trait<uint64_t> {
    static constexpr int value = PObject::TYPE_INTEGER;
};
template <>
struct PObject::type_trait<ustring> {
    static constexpr int value = PObject::TYPE_STRING;
};
template <>
struct PObject::type_trait<PObject::binary_type> {
    static constexpr int value = PObject::TYPE_BINARY;
};
template <>
struct PObject::type_trait<PObject::map> {
    static constexpr int value = PObject::TYPE_MAP;
};
template <>
struct PObject::type_trait<PObject::vector> {
    static constexpr int value = PObject::TYPE_ARRAY;
};
