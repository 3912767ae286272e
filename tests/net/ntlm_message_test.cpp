// The NTLM messages' byte layouts, and the challenge reader on crafted and
// real challenges.
#include "net/ntlm_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/base64.h"
#include "net/proxy_client.h"

namespace {

uint32_t Le32(const std::string& m, size_t at) {
    return static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8 | static_cast<uint8_t>(m[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(m[at + 3])) << 24;
}

uint16_t Le16(const std::string& m, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8);
}

// A field descriptor's bytes, which must lie inside the message.
std::string Field(const std::string& m, size_t at) {
    EXPECT_EQ(Le16(m, at), Le16(m, at + 2)) << "both lengths of the descriptor at " << at;
    size_t len = Le16(m, at);
    size_t offset = Le32(m, at + 4);
    EXPECT_LE(offset + len, m.size()) << "descriptor at " << at;
    return offset + len <= m.size() ? m.substr(offset, len) : "";
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

// A challenge of `size` bytes: signature, type 2, flags, a server
// challenge, and (from 48 bytes on) a target information descriptor.
std::string Challenge(size_t size, uint16_t info_len = 0, uint32_t info_offset = 48) {
    std::string m(size, '\0');
    memcpy(m.data(), "NTLMSSP\0\x02\x00\x00\x00", std::min<size_t>(size, 12));
    if (size >= 24) memcpy(m.data() + 20, "\x05\x82\x08\x00", 4);
    for (size_t i = 24; i < 32 && i < size; ++i) m[i] = static_cast<char>(0x10 + i);
    if (size >= 48) {
        m[40] = static_cast<char>(info_len & 0xff);
        m[41] = static_cast<char>(info_len >> 8);
        m[42] = m[40];
        m[43] = m[41];
        memcpy(m.data() + 44, &info_offset, 4);  // little-endian host
    }
    return m;
}

NtlmEntropy FixedEntropy() {
    return NtlmEntropy{[](uint8_t* out, size_t n) {
                           memset(out, 0xaa, n);
                           return true;
                       },
                       [] { return int64_t{0}; }};
}

TEST(NtlmMessageTest, NegotiateLayout) {
    struct Case {
        bool v2;
        uint32_t flags;
    } cases[] = {{false, 0x00008201}, {true, 0x00088205}};
    for (const Case& c : cases) {
        std::string m;
        ASSERT_EQ(NtlmBuildNegotiate({"user", "pw", "corp", "ws-1"}, c.v2, m), 0);
        ASSERT_EQ(m.size(), 32u + 4 + 4);
        EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
        EXPECT_EQ(Le32(m, 8), 1u);
        EXPECT_EQ(Le32(m, 12), c.flags);
        EXPECT_EQ(Le32(m, 20), 32u + 4) << "domain after the host";
        EXPECT_EQ(Le32(m, 28), 32u);
        EXPECT_EQ(Field(m, 24), "WS-1");
        EXPECT_EQ(Field(m, 16), "CORP");
    }
    std::string m;
    ASSERT_EQ(NtlmBuildNegotiate({"user", "pw", "", ""}, false, m), 0);
    EXPECT_EQ(m.size(), 32u);
    EXPECT_EQ(NtlmBuildNegotiate({"u", "p", std::string(70000, 'd'), ""}, false, m), PROXY_ERR_RESOURCE);
}

TEST(NtlmMessageTest, ChallengeReaderRefusesShortMessagesAndKeepsTargetInfoInside) {
    struct Case {
        const char* name;
        std::string message;
        int result;
        size_t info_size;
    } cases[] = {
        {"24 bytes", Challenge(24), PROXY_ERR_STATUS, 0},
        {"31 bytes: the server challenge is cut", Challenge(31), PROXY_ERR_STATUS, 0},
        {"32 bytes", Challenge(32), 0, 0},
        {"40 bytes: no target information header", Challenge(40), 0, 0},
        {"47 bytes: the descriptor is cut", Challenge(47), 0, 0},
        {"48 bytes, empty target information", Challenge(48, 0, 48), 0, 0},
        {"target information inside", Challenge(60, 12, 48), 0, 12},
        {"target information ends at the last byte", Challenge(60, 4, 56), 0, 4},
        {"target information one byte too long", Challenge(60, 13, 48), 0, 0},
        {"offset past the end", Challenge(60, 1, 61), 0, 0},
        {"offset near 2^32", Challenge(60, 16, 0xfffffff8u), 0, 0},
        {"wrong message type", [] {
             std::string m = Challenge(48);
             m[8] = 3;
             return m;
         }(), PROXY_ERR_STATUS, 0},
        {"wrong signature", [] {
             std::string m = Challenge(48);
             m[0] = 'X';
             return m;
         }(), PROXY_ERR_STATUS, 0},
    };
    for (const Case& c : cases) {
        NtlmChallenge challenge;
        EXPECT_EQ(NtlmParseChallenge(c.message, challenge), c.result) << c.name;
        if (c.result != 0) continue;
        EXPECT_EQ(challenge.flags, 0x00088205u) << c.name;
        EXPECT_EQ(challenge.server_challenge[0], 0x28) << c.name;
        EXPECT_EQ(challenge.server_challenge[7], 0x2f) << c.name;
        EXPECT_EQ(challenge.target_info.size(), c.info_size) << c.name;
    }
}

TEST(NtlmMessageTest, SquidFakeHelperChallengeIsUsedWithoutItsBogusTargetInfo) {
    // The 49-byte challenge squid's ntlm_fake_auth sends: read as a full
    // header, bytes 40 to 47 claim 20311 bytes of target information at
    // offset 1431261767.
    std::string message;
    ASSERT_TRUE(Base64Decode("TlRMTVNTUAACAAAACQAJAK6qqqoBggAA6r9MaY3lgsQAAAAAAAA6AFdPUktHUk9VUA==", message));
    ASSERT_EQ(message.size(), 49u);
    NtlmChallenge challenge;
    ASSERT_EQ(NtlmParseChallenge(message, challenge), 0);
    EXPECT_TRUE(challenge.target_info.empty());
    EXPECT_EQ(challenge.flags, 0x00008201u);
    std::string out;
    EXPECT_EQ(NtlmBuildAuthenticate({"user", "pw", "dom", "host"}, true, challenge, FixedEntropy(), out), 0);
    EXPECT_EQ(out.size(), 64u + 6 + 8 + 8 + 24 + 48);
}

TEST(NtlmMessageTest, AuthenticateLayout) {
    NtlmChallenge challenge;
    ASSERT_EQ(NtlmParseChallenge(Challenge(60, 12, 48), challenge), 0);
    for (bool v2 : {false, true}) {
        std::string m;
        ASSERT_EQ(NtlmBuildAuthenticate({"User", "Password", "Domain", "ws"}, v2, challenge, FixedEntropy(), m), 0);
        EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
        EXPECT_EQ(Le32(m, 8), 3u);
        // Payload order: domain, user, host, LM response, NT response.
        EXPECT_EQ(Le32(m, 32), 64u);
        EXPECT_EQ(Field(m, 28), Utf16("DOMAIN"));
        EXPECT_EQ(Le32(m, 40), 64u + 12);
        EXPECT_EQ(Field(m, 36), Utf16("User")) << "the user name keeps its case";
        EXPECT_EQ(Le32(m, 48), 64u + 12 + 8);
        EXPECT_EQ(Field(m, 44), Utf16("WS"));
        EXPECT_EQ(Le32(m, 16), 64u + 12 + 8 + 4);
        size_t lm = Le16(m, 12);
        size_t nt = Le16(m, 20);
        EXPECT_EQ(lm, 24u);
        EXPECT_EQ(nt, v2 ? 48u + 12 : 24u);
        EXPECT_EQ(Le32(m, 24), Le32(m, 16) + lm);
        EXPECT_EQ(Le16(m, 52), 0u) << "empty session key";
        EXPECT_EQ(Le32(m, 56), m.size()) << "session key offset is the total length";
        EXPECT_EQ(Le32(m, 60), challenge.flags);
        EXPECT_EQ(m.size(), 64u + 12 + 8 + 4 + lm + nt) << "sized from its parts";
    }
}

TEST(NtlmMessageTest, AuthenticateFailures) {
    NtlmChallenge challenge;
    ASSERT_EQ(NtlmParseChallenge(Challenge(48), challenge), 0);
    std::string m;
    NtlmEntropy no_random = FixedEntropy();
    no_random.random = [](uint8_t*, size_t) { return false; };
    EXPECT_EQ(NtlmBuildAuthenticate({"u", "p", "d", "h"}, true, challenge, no_random, m), PROXY_ERR_RESOURCE)
        << "no client nonce without random bytes";
    EXPECT_EQ(NtlmBuildAuthenticate({"u", "p", "d", "h"}, false, challenge, no_random, m), 0)
        << "NTLMv1 needs none";
    EXPECT_EQ(NtlmBuildAuthenticate({"u\xff", "p", "d", "h"}, false, challenge, FixedEntropy(), m),
              PROXY_ERR_RESOURCE);
    EXPECT_EQ(NtlmBuildAuthenticate({"u", "p", std::string(40000, 'd'), "h"}, false, challenge, FixedEntropy(), m),
              PROXY_ERR_RESOURCE)
        << "80000 bytes of UTF-16 do not fit a descriptor";
}

TEST(NtlmMessageTest, SystemEntropyDrawsFreshNonces) {
    NtlmEntropy entropy = NtlmSystemEntropy();
    uint8_t a[8], b[8];
    ASSERT_TRUE(entropy.random(a, 8));
    ASSERT_TRUE(entropy.random(b, 8));
    EXPECT_NE(memcmp(a, b, 8), 0);
    EXPECT_GT(entropy.unix_time(), 1600000000);
}

}  // namespace
