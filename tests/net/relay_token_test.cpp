// The relay token: its record layout, the key derivation checked
// independently with libcrypto, what the reader refuses, and the Base64
// helpers.
#include "net/relay_token.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "net/relay_config.h"

namespace {

uint32_t Be32(const std::string& r, size_t at) {
    return uint32_t{static_cast<uint8_t>(r[at])} << 24 | uint32_t{static_cast<uint8_t>(r[at + 1])} << 16 |
           uint32_t{static_cast<uint8_t>(r[at + 2])} << 8 | static_cast<uint8_t>(r[at + 3]);
}

std::string Encrypt(const std::string& plain) {
    std::string record(CORVCryptoEncryptLength(plain.size()), '\0');
    int n = CORVCryptoEncrypt(record.data(), record.size(), plain.data(), plain.size());
    EXPECT_GT(n, 0);
    record.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return record;
}

const std::string kPlain("sync.example.com:5006\0", 22);

TEST(RelayTokenTest, RecordLayoutAndRoundTrip) {
    std::string record = Encrypt(kPlain);
    ASSERT_GE(record.size(), 26u);
    EXPECT_EQ(static_cast<uint8_t>(record[0]), 0xff);
    EXPECT_EQ(static_cast<uint8_t>(record[1]), 0xff);
    EXPECT_EQ(record[2], 0);
    EXPECT_EQ(record[3], 1);
    uint32_t n = Be32(record, 20);
    EXPECT_EQ(record.size(), n + 26u);
    EXPECT_EQ(n % 8, 0u);
    EXPECT_GT(n, kPlain.size());
    EXPECT_LE(n, kPlain.size() + 8);
    EXPECT_LE(record.size(), CORVCryptoEncryptLength(kPlain.size()));

    char back[64];
    ASSERT_EQ(CORVCryptoDecrypt(back, sizeof back, record.data(), record.size()), static_cast<int>(kPlain.size()));
    EXPECT_EQ(std::string(back, kPlain.size()), kPlain);
    EXPECT_NE(Encrypt(kPlain), record) << "fresh random bytes and seed each time";
}

TEST(RelayTokenTest, CiphertextIsTripleDesCbcUnderTheSeedsKey) {
    std::string record = Encrypt(kPlain);
    // The key a relay derives: SHA-1 then MD5 of the big-endian
    // seed * multiplier + addend, the first 24 bytes.
    uint32_t mixed = Be32(record, 10) * kRelayKeyMultiplier + kRelayKeyAddend;
    unsigned char input[4] = {static_cast<unsigned char>(mixed >> 24), static_cast<unsigned char>(mixed >> 16),
                              static_cast<unsigned char>(mixed >> 8), static_cast<unsigned char>(mixed)};
    unsigned char digests[36];
    unsigned int len = 0;
    ASSERT_EQ(EVP_Digest(input, 4, digests, &len, EVP_sha1(), nullptr), 1);
    ASSERT_EQ(EVP_Digest(input, 4, digests + 20, &len, EVP_md5(), nullptr), 1);
    unsigned char key[24];
    ASSERT_TRUE(CORVCryptoDeriveKey(Be32(record, 10), key));
    EXPECT_EQ(memcmp(key, digests, 24), 0);

    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char plain[64];
    int n = 0, tail = 0;
    ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, digests, kRelayTokenIv), 1);
    ASSERT_EQ(EVP_DecryptUpdate(ctx, plain, &n, reinterpret_cast<const unsigned char*>(record.data()) + 24,
                                static_cast<int>(Be32(record, 20))),
              1);
    ASSERT_EQ(EVP_DecryptFinal_ex(ctx, plain + n, &tail), 1);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), static_cast<size_t>(n + tail)), kPlain);
}

TEST(RelayTokenTest, ReaderRefusals) {
    std::string good = Encrypt(kPlain);
    auto with = [&](size_t at, char value) {
        std::string r = good;
        r[at] = value;
        return r;
    };
    std::string version0 = with(3, 0);
    struct Case {
        const char* name;
        std::string record;
        bool accepted;
    } cases[] = {
        {"26 bytes", good.substr(0, 26), false},
        {"marker", with(1, 0x7f), false},
        {"version 2", with(3, 2), false},
        {"version 0 is below the limit", version0, true},
        {"cut short", good.substr(0, good.size() - 3), false},
        {"length not a whole number of blocks", with(23, static_cast<char>(good[23] - 1)), false},
        {"trailing bytes after the record", good + "xyz", true},
    };
    for (const Case& c : cases) {
        char back[64];
        int n = CORVCryptoDecrypt(back, sizeof back, c.record.data(), c.record.size());
        EXPECT_EQ(n > 0, c.accepted) << c.name;
    }
    char small[8];
    EXPECT_EQ(CORVCryptoDecrypt(small, sizeof small, good.data(), good.size()), 0) << "no room for the plaintext";
    char out[16];
    EXPECT_EQ(CORVCryptoEncrypt(out, sizeof out, kPlain.data(), kPlain.size()), -1) << "no room for the record";
}

TEST(RelayTokenTest, Base64) {
    char out[16];
    EXPECT_EQ(CORVCryptoBase64Encode(out, sizeof out, "hello", 5), 8);
    EXPECT_EQ(std::string(out, 8), "aGVsbG8=");
    EXPECT_EQ(CORVCryptoBase64Encode(out, 5, "hello", 5), 5) << "cut at the output space";
    EXPECT_EQ(std::string(out, 5), "aGVsb");
    EXPECT_EQ(CORVCryptoBase64Decode(out, sizeof out, "aGVsbG8=", 8), 5);
    EXPECT_EQ(std::string(out, 5), "hello");
    EXPECT_EQ(CORVCryptoBase64Decode(out, sizeof out, "aGVsbG8", 7), -1);
    EXPECT_EQ(CORVCryptoBase64Decode(out, sizeof out, "aG=sbG8=", 8), -1);
    EXPECT_EQ(CORVCryptoBase64Decode(out, 4, "aGVsbG8=", 8), -1) << "does not fit";
}

}  // namespace
