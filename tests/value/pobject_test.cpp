#include "value/pobject.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string Text(const PObject& v) {
    return v.toString().str();
}

TEST(PObject, WritingThroughKeysBuildsMaps) {
    PObject x;
    x["a"]["b"] = 5;
    EXPECT_TRUE(x.isMap());
    EXPECT_EQ(Text(x), "{\"a\": {\"b\": 5}}");

    PObject s("text");
    s["k"];
    EXPECT_TRUE(s.isMap());
    EXPECT_EQ(Text(s), "{\"k\": null}");
}

TEST(PObject, ConstReadsOfMissingMembersChangeNothing) {
    PObject x;
    x["present"] = 1;
    const PObject& cx = x;
    EXPECT_TRUE(cx["missing"].isNull());
    EXPECT_EQ(&cx["missing"], &PObject::empty_object);
    EXPECT_FALSE(x.hasMember("missing"));
    EXPECT_TRUE(cx[7].isNull());
    EXPECT_TRUE(PObject("s")["k"].isNull());

    x["missing"];  // the non-const form inserts
    EXPECT_TRUE(x.hasMember("missing"));
    EXPECT_FALSE(PObject("s").hasMember("k"));
}

TEST(PObject, ReadingAsTypes) {
    PObject big;
    big = uint64_t{1} << 32;
    EXPECT_EQ(big.asString().str(), "0");
    EXPECT_EQ(Text(big), "4294967296");

    PObject v;
    v = uint64_t{4294967295u};
    EXPECT_EQ(v.asInt32(), -1);
    v = uint64_t{511};
    EXPECT_EQ(v.asUInt8(), 255);
    EXPECT_EQ(v.asInt8(), -1);
    EXPECT_EQ(v.asUInt16(), 511);
    v = int32_t{-5};
    EXPECT_EQ(v.asInt64(), -5);
    EXPECT_EQ(v.asUInt64(), ~uint64_t{0} - 4);
    v = uint32_t{0xFFFFFFFFu};
    EXPECT_EQ(v.asUInt64(), 0xFFFFFFFFull);  // zero-extended
    v = true;
    EXPECT_EQ(v.asInteger(), 1u);

    PObject s("12");
    EXPECT_EQ(s.asInteger(), 0u);  // no parsing
    EXPECT_EQ(s.asString().str(), "12");
    EXPECT_TRUE(PObject().asString().empty());
    const PObject text("x");
    EXPECT_EQ(&text.asMap(), &PObject::empty_map);
    EXPECT_EQ(&static_cast<const PObject&>(PObject()).asArray(), &PObject::empty_array);
}

TEST(PObject, EmptinessAndTruth) {
    PObject zero;
    zero = uint64_t{0};
    PObject binary;
    binary.asBinary().offset = 4;
    binary.asBinary().length = 9;
    PObject array;
    array.asArray();
    struct Case {
        const char* name;
        PObject value;
        bool empty;
        bool truth;
    } cases[] = {
        {"null", PObject(), true, false},
        {"integer 0", zero, false, false},
        {"integer 2", PObject(uint64_t{2}), false, true},
        {"string \"0\"", PObject("0"), false, true},
        {"empty string", PObject(""), true, false},
        {"binary without path", binary, true, false},
        {"empty array", array, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.isEmpty(), c.empty) << c.name;
        EXPECT_EQ(c.value.asBool(), c.truth) << c.name;
    }
}

TEST(PObject, TextForms) {
    PObject array;
    array.asArray();
    PObject map;
    map.asMap();
    PObject msg;
    msg["action"] = "stop";
    msg["id"] = 7;
    PObject list;
    list.asArray().push_back(PObject(uint64_t{1}));
    list.asArray().push_back(PObject("say \"hi\""));
    list.asArray().push_back(PObject());
    PObject bin;
    bin = PObject::binary_type{3, 10, "/tmp/f"};
    EXPECT_EQ(Text(array), "[]");
    EXPECT_EQ(Text(map), "{}");
    EXPECT_EQ(Text(PObject()), "null");
    EXPECT_EQ(Text(msg), "{\"action\": \"stop\", \"id\": 7}");
    EXPECT_EQ(Text(list), "[1, \"say \"hi\"\", null]");
    EXPECT_EQ(Text(bin), "{offset: 3, length: 10, path: \"/tmp/f\"}");
}

TEST(PObject, CopiesAreDeepAndIndependent) {
    PObject a;
    a["list"].asArray().push_back(PObject("x"));
    a["n"] = 1;
    PObject b(a);
    b["list"].asArray().push_back(PObject("y"));
    b["n"] = 2;
    EXPECT_EQ(Text(a), "{\"list\": [\"x\"], \"n\": 1}");
    EXPECT_EQ(Text(b), "{\"list\": [\"x\", \"y\"], \"n\": 2}");

    a = a["list"];  // a value taken from inside its own tree
    EXPECT_EQ(Text(a), "[\"x\"]");
    a = a;
    EXPECT_EQ(Text(a), "[\"x\"]");
    PObject c;
    c.copy(PObject());
    EXPECT_TRUE(c.isNull());

    a.swap(b);
    EXPECT_TRUE(a.isMap());
    EXPECT_TRUE(b.isArray());
    b.clear();
    EXPECT_TRUE(b.isNull());
}

TEST(PObject, PositionalIndexFollowsKeyOrder) {
    PObject m;
    m["b"] = 2;
    m["_z"] = 3;
    m["A"] = 1;
    // Unsigned byte order: "A" < "_z" < "b".
    EXPECT_EQ(m[size_t{0}].asInteger(), 1u);
    EXPECT_EQ(m[1].asInteger(), 3u);
    EXPECT_EQ(m[2].asInteger(), 2u);
    EXPECT_THROW(m[3], std::out_of_range);
    PObject s("x");
    try {
        s[size_t{0}];
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "out_of_range: PObject::operator[]");
    }
    EXPECT_TRUE(s.isString());  // never created anything
}

TEST(PObject, TypeNumbers) {
    EXPECT_EQ(PObject::type_trait<uint64_t>::value, 3);
    EXPECT_EQ(PObject::type_trait<ustring>::value, 4);
    EXPECT_EQ(PObject::type_trait<PObject::binary_type>::value, 5);
    EXPECT_EQ(PObject::type_trait<PObject::map>::value, 2);
    EXPECT_EQ(PObject::type_trait<PObject::vector>::value, 1);
    PObject m;
    m["k"] = 1;
    EXPECT_TRUE(m.isContainer());
    EXPECT_TRUE(m["k"].isPrimitive());
    EXPECT_FALSE(PObject().isPrimitive());
}

}  // namespace
