#include "delta/md4_lanes.h"

#include <gtest/gtest.h>

#include <cstring>

#include "delta/md4.h"
#include "delta_test_util.h"

namespace {

// Every lane's digest equals OpenSSL's MD4 of its message, for lengths
// around the 56- and 64-byte padding boundaries and counts that leave
// remainders.
TEST(Md4Lanes, EachDigestMatchesOpensslMd4) {
    const size_t lengths[] = {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 2047, 2048, 2049};
    std::string data = tidewell::testing::random_bytes(20 * 2100, 5);
    for (size_t lanes : {size_t(4), size_t(8)}) {
        for (size_t length : lengths) {
            for (size_t count : {1, 3, 4, 5, 8, 9, 17}) {
                std::vector<const uint8_t*> ptrs;
                for (size_t i = 0; i < count; ++i)
                    ptrs.push_back(reinterpret_cast<const uint8_t*>(data.data()) + i * 2100 + i % 3);
                std::vector<uint8_t[16]> got(count);
                Md4Lanes::digestManyWidth(lanes, ptrs.data(), count, length, got.data());
                for (size_t i = 0; i < count; ++i) {
                    uint8_t want[16];
                    Md4::digest(ptrs[i], length, want);
                    ASSERT_EQ(std::memcmp(got[i], want, 16), 0)
                        << "lanes " << lanes << " length " << length << " count " << count << " message " << i;
                }
            }
        }
    }
}

TEST(Md4Lanes, WidthIsFourOrEight) {
    EXPECT_TRUE(Md4Lanes::width() == 4 || Md4Lanes::width() == 8);
}

}  // namespace
