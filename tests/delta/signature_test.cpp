#include "delta/signature_handler.h"

#include <gtest/gtest.h>

#include "delta/md4.h"
#include "delta/rolling_checksum.h"
#include "delta_test_util.h"

using namespace tidewell::testing;

namespace {

std::string be32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}

// The signature built by hand from the block rules.
std::string expected_signature(const std::string& data, uint32_t bs, uint32_t hs) {
    std::string sig = be32(0x72730136) + be32(bs) + be32(hs);
    for (size_t pos = 0; pos < data.size(); pos += bs) {
        std::string block = data.substr(pos, bs);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(block.data());
        sig += be32(RSRollingChecksum::of(p, block.size()));
        uint8_t digest[16];
        Md4::digest(p, block.size(), digest);
        sig += std::string(reinterpret_cast<char*>(digest), hs);
    }
    return sig;
}

TEST(Signature, EmptyFileIsTheHeaderOnly) {
    TempDir dir;
    std::string in = dir.write("empty", "");
    ASSERT_EQ(make_signature(in, dir.file("sig")), 0);
    EXPECT_EQ(TempDir::read(dir.file("sig")), be32(0x72730136) + be32(2048) + be32(8));
}

TEST(Signature, EntriesPerBlockWithAShortLastBlock) {
    struct Case {
        size_t size;
        uint32_t bs, hs;
    } cases[] = {{1, 2048, 8},  {2047, 2048, 8}, {2048, 2048, 8},   {2049, 2048, 8},
                 {5000, 16, 1}, {5000, 700, 16}, {3 << 20, 2048, 8}};
    TempDir dir;
    for (const Case& c : cases) {
        std::string data = random_bytes(c.size, static_cast<uint32_t>(c.size));
        std::string in = dir.write("in", data);
        ASSERT_EQ(make_signature(in, dir.file("sig"), c.bs, c.hs), 0);
        std::string sig = TempDir::read(dir.file("sig"));
        EXPECT_EQ(sig.size(), 12 + (c.size + c.bs - 1) / c.bs * (4 + c.hs)) << c.size;
        EXPECT_TRUE(sig == expected_signature(data, c.bs, c.hs)) << c.size << "/" << c.bs << "/" << c.hs;
    }
}

TEST(Signature, OutOfRangeParametersKeepTheDefaults) {
    TempDir dir;
    std::string in = dir.write("in", random_bytes(3000, 1));
    for (auto [bs, hs] : {std::pair<uint32_t, uint32_t>{0, 0}, {0, 17}}) {
        ASSERT_EQ(make_signature(in, dir.file("sig"), bs, hs), 0);
        EXPECT_EQ(TempDir::read(dir.file("sig")).substr(0, 12), be32(0x72730136) + be32(2048) + be32(8));
    }
}

TEST(Signature, ChunksOfAnySizeGiveTheSameSignature) {
    TempDir dir;
    std::string data = random_bytes(20000, 3);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t chunk : {1, 100, 2047, 2048, 2049, 4096, 20000}) {
        SignatureHandler h(dir.file("sig").c_str(), 2048, 8);
        ASSERT_EQ(h.begin(), 0);
        for (size_t pos = 0; pos < data.size(); pos += chunk) {
            ASSERT_EQ(h.update(p + pos, std::min(chunk, data.size() - pos)), 0);
            ASSERT_EQ(h.wait(), 0);
        }
        ASSERT_EQ(h.end(), 0);
        EXPECT_TRUE(TempDir::read(dir.file("sig")) == expected_signature(data, 2048, 8)) << chunk;
    }
}

}  // namespace
