// The NTLM one-way functions against the known answers of the public NTLM
// protocol documentation (user "User", domain "Domain", password
// "Password", server challenge 0123456789abcdef, client challenge aa x 8,
// time 0).
#include "net/ntlm_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const void* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

std::string Hex(const std::string& s) {
    return Hex(s.data(), s.size());
}

std::string Bytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), 0, 16)));
    return out;
}

const uint8_t kServerChallenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const uint8_t kClientChallenge[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};

TEST(NtlmHashTest, NtlmV1KnownAnswers) {
    uint8_t nt_hash[16];
    uint8_t lm_hash[16];
    ASSERT_TRUE(NtlmNtHash("Password", nt_hash));
    NtlmLmHash("Password", lm_hash);
    EXPECT_EQ(Hex(nt_hash, 16), "a4f49c406510bdcab6824ee7c30fd852");
    EXPECT_EQ(Hex(lm_hash, 16), "e52cac67419a9a224a3b108f3fa6cb6d");

    uint8_t response[24];
    NtlmV1Response(nt_hash, kServerChallenge, response);
    EXPECT_EQ(Hex(response, 24), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    NtlmV1Response(lm_hash, kServerChallenge, response);
    EXPECT_EQ(Hex(response, 24), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
}

TEST(NtlmHashTest, LmHashUpperCasesAndCutsThePasswordAtFourteenBytes) {
    uint8_t a[16], b[16];
    NtlmLmHash("password", a);
    NtlmLmHash("PASSWORD", b);
    EXPECT_EQ(Hex(a, 16), Hex(b, 16));
    NtlmLmHash("ABCDEFGHIJKLMNxyz", a);
    NtlmLmHash("abcdefghijklmn", b);
    EXPECT_EQ(Hex(a, 16), Hex(b, 16));
}

TEST(NtlmHashTest, NtlmV2HashOfTheDocumentedIdentityAndOfOurs) {
    uint8_t nt_hash[16];
    ASSERT_TRUE(NtlmNtHash("Password", nt_hash));
    uint8_t v2[16];
    // The documentation's identity: the user name upper-cased, the domain
    // as given.
    ASSERT_TRUE(NtlmV2HashOfIdentity(nt_hash, "USERDomain", v2));
    EXPECT_EQ(Hex(v2, 16), "0c868a403bfd7a93a3001ef22ef02e3f");
    // The client upper-cases the domain as well.
    ASSERT_TRUE(NtlmV2Hash("Password", "User", "Domain", v2));
    EXPECT_EQ(Hex(v2, 16), "f38efea48ada6afaa95ae44669e5634b");
    uint8_t same[16];
    ASSERT_TRUE(NtlmV2HashOfIdentity(nt_hash, "USERDOMAIN", same));
    EXPECT_EQ(Hex(v2, 16), Hex(same, 16));
}

TEST(NtlmHashTest, NtlmV2ResponsesKnownAnswer) {
    uint8_t nt_hash[16];
    uint8_t v2[16];
    ASSERT_TRUE(NtlmNtHash("Password", nt_hash));
    ASSERT_TRUE(NtlmV2HashOfIdentity(nt_hash, "USERDomain", v2));
    // The documented target information: NetBIOS domain "Domain", NetBIOS
    // computer "Server", end of list.
    std::string info = Bytes("02000c0044006f006d00610069006e00" "01000c005300650072007600650072000000" "0000");
    std::string nt, lm;
    ASSERT_TRUE(NtlmV2Responses(v2, kServerChallenge, 0, kClientChallenge, info, nt, lm));
    EXPECT_EQ(Hex(nt.substr(0, 16)), "68cd0ab851e51c96aabc927bebef6a1c");
    EXPECT_EQ(Hex(lm), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
    // The blob after the proof.
    EXPECT_EQ(Hex(nt.substr(16)), "0101000000000000" "0000000000000000" "aaaaaaaaaaaaaaaa" "00000000" + Hex(info) +
                                      "00000000");
    EXPECT_EQ(nt.size(), 48 + info.size());
}

TEST(NtlmHashTest, TimeStampCountsHundredNanosecondsSince1601) {
    EXPECT_EQ(NtlmFiletime(0), 116444736000000000ull);
    EXPECT_EQ(NtlmFiletime(1700000000), 116444736000000000ull + 1700000000ull * 10000000ull);
}

TEST(NtlmHashTest, Utf16ConversionAndUpperCasing) {
    std::string wide;
    ASSERT_TRUE(NtlmToUtf16Le("A\xc3\xbc\xe2\x82\xac\xf0\x9d\x84\x9e", wide));  // A, u-umlaut, euro, G clef
    EXPECT_EQ(Hex(wide), "4100fc00ac2034d81edd");
    EXPECT_TRUE(NtlmToUtf16Le("", wide));
    EXPECT_TRUE(wide.empty());
    for (const char* bad : {"\xff", "a\xc3", "\xed\xa0\x80"}) {  // stray byte, cut sequence, surrogate
        EXPECT_FALSE(NtlmToUtf16Le(bad, wide)) << Hex(std::string(bad));
    }
    uint8_t hash[16];
    EXPECT_FALSE(NtlmNtHash("\xff", hash));
    // Byte by byte, ASCII letters only.
    EXPECT_EQ(NtlmUpper("j\xc3\xbcrgen-x1"), "J\xc3\xbcRGEN-X1");
}

}  // namespace
