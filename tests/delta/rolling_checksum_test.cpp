#include "delta/rolling_checksum.h"

#include <gtest/gtest.h>

#include <string>

#include "delta/rs_constant.h"
#include "delta_test_util.h"

namespace {

// a = sum(x) + 31 n, b = sum((n - i + 1) x_i) + 31 n (n + 1) / 2.
uint32_t by_formula(const std::string& s) {
    uint64_t n = s.size(), a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        uint64_t x = static_cast<uint8_t>(s[i]);
        a += x;
        b += (n - i) * x;
    }
    a += 31 * n;
    b += 31 * n * (n + 1) / 2;
    return (static_cast<uint32_t>(a) & 0xFFFF) | (static_cast<uint32_t>(b) << 16);
}

TEST(RollingChecksum, MatchesTheClosedForm) {
    for (size_t n : {0, 1, 2, 3, 4, 5, 63, 2047, 2048, 2049, 100000}) {
        std::string s = tidewell::testing::random_bytes(n, static_cast<uint32_t>(n));
        const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
        EXPECT_EQ(RSRollingChecksum::of(p, n), by_formula(s)) << n;
        RSRollingChecksum bytewise;
        for (size_t i = 0; i < n; ++i) bytewise.add(p[i]);
        EXPECT_EQ(bytewise.digest(), by_formula(s)) << n;
    }
    EXPECT_EQ(RSRollingChecksum::of(reinterpret_cast<const uint8_t*>("\xff\xff\xff"), 3), by_formula("\xff\xff\xff"));
}

TEST(RollingChecksum, RollingEqualsAFreshSum) {
    const size_t window = 16;
    std::string s = tidewell::testing::random_bytes(500, 7);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    RSRollingChecksum c;
    c.update(p, 5);
    c.update(p + 5, window - 5);  // in two parts
    for (size_t pos = 0; pos + window < s.size(); ++pos) {
        ASSERT_EQ(c.digest(), by_formula(s.substr(pos, window))) << pos;
        c.roll(p[pos], p[pos + window]);
    }
    c.remove(p[s.size() - window]);
    EXPECT_EQ(c.count, window - 1);
    EXPECT_EQ(c.digest(), by_formula(s.substr(s.size() - window + 1)));
}

TEST(CommandTable, ClassifiesEveryByte) {
    EXPECT_EQ(RSConstant::getInfo(0).type, RSConstant::TYPE_END);
    EXPECT_EQ(RSConstant::getInfo(1).immediate, 1);
    EXPECT_EQ(RSConstant::getInfo(64).immediate, 64);
    EXPECT_EQ(RSConstant::getInfo(RSConstant::OP_LITERAL_N8).len_1, 8);
    const RSConstant::CmdInfo& c = RSConstant::getInfo(RSConstant::OP_COPY_N2_N1 + 2);  // offset 2, length 4
    EXPECT_EQ(c.type, RSConstant::TYPE_COPY);
    EXPECT_EQ(c.len_1, 2);
    EXPECT_EQ(c.len_2, 4);
    EXPECT_EQ(RSConstant::getInfo(84).len_1, 8);
    EXPECT_EQ(RSConstant::getInfo(84).len_2, 8);
    for (int op = 85; op < 256; ++op)
        EXPECT_EQ(RSConstant::getInfo(static_cast<uint8_t>(op)).type, RSConstant::TYPE_RESERVED);
}

TEST(CommandTable, PicksTheSmallestEncoding) {
    struct Case {
        uint64_t length;
        std::string literal;
    } literals[] = {
        {1, "\x01"},
        {64, "\x40"},
        {65, std::string("\x41\x41")},
        {255, std::string("\x41\xff")},
        {256, std::string("\x42\x01\x00", 3)},
        {65535, std::string("\x42\xff\xff")},
        {65536, std::string("\x43\x00\x01\x00\x00", 5)},
        {0x100000000ull, std::string("\x44\x00\x00\x00\x01\x00\x00\x00\x00", 9)},
    };
    for (const Case& c : literals) {
        uint8_t out[9];
        size_t n = RSConstant::encodeLiteral(c.length, out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.literal) << c.length;
    }
    uint8_t out[17];
    size_t n = RSConstant::encodeCopy(0, 2048, out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), std::string("\x46\x00\x08\x00", 4));
    n = RSConstant::encodeCopy(0x100000000ull, 255, out);
    EXPECT_EQ(out[0], RSConstant::OP_COPY_N8_N1);
    EXPECT_EQ(n, 10u);
}

}  // namespace
