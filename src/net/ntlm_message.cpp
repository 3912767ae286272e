#include "net/ntlm_message.h"

#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "net/proxy_client.h"
#include "net/proxy_log.h"

namespace {

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

void PutLe16(std::string& out, size_t at, uint16_t v) {
    out[at] = static_cast<char>(v & 0xff);
    out[at + 1] = static_cast<char>(v >> 8);
}

void PutLe32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

uint16_t GetLe16(std::string_view in, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(in[at]) | static_cast<uint8_t>(in[at + 1]) << 8);
}

uint32_t GetLe32(std::string_view in, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(in[at + i]);
    return v;
}

// A field descriptor at `at`: length twice, then the offset.
void PutField(std::string& out, size_t at, size_t length, size_t offset) {
    PutLe16(out, at, static_cast<uint16_t>(length));
    PutLe16(out, at + 2, static_cast<uint16_t>(length));
    PutLe32(out, at + 4, static_cast<uint32_t>(offset));
}

std::string Header(uint32_t type, size_t size) {
    std::string out(size, '\0');
    memcpy(out.data(), kSignature, sizeof kSignature);
    PutLe32(out, 8, type);
    return out;
}

}  // namespace

int NtlmBuildNegotiate(const NtlmCredentials& credentials, bool v2, std::string& out) {
    std::string host = NtlmUpper(credentials.host);
    std::string domain = NtlmUpper(credentials.domain);
    if (host.size() > UINT16_MAX || domain.size() > UINT16_MAX) return PROXY_ERR_RESOURCE;
    std::string msg = Header(1, 32);
    PutLe32(msg, 12, v2 ? kNtlmNegotiateFlagsV2 : kNtlmNegotiateFlagsV1);
    PutField(msg, 16, domain.size(), 32 + host.size());
    PutField(msg, 24, host.size(), 32);
    msg.append(host).append(domain);
    out = std::move(msg);
    return 0;
}

int NtlmParseChallenge(std::string_view message, NtlmChallenge& out) {
    out = NtlmChallenge();
    if (message.size() < kNtlmChallengeMinSize) {
        ProxyLog(PROXY_WARNING, "NTLM challenge of %zu bytes is too short\n", message.size());
        return PROXY_ERR_STATUS;
    }
    if (memcmp(message.data(), kSignature, sizeof kSignature) != 0 || GetLe32(message, 8) != 2) {
        ProxyLog(PROXY_WARNING, "not an NTLM challenge message\n");
        return PROXY_ERR_STATUS;
    }
    out.flags = GetLe32(message, 20);
    memcpy(out.server_challenge, message.data() + 24, kNtlmChallengeSize);
    if (message.size() < kNtlmChallengeHeaderSize) return 0;
    size_t length = GetLe16(message, 40);
    size_t offset = GetLe32(message, 44);
    if (offset > message.size() || length > message.size() - offset) {
        ProxyLog(PROXY_WARNING, "NTLM target information (%zu bytes at %zu) lies outside the %zu-byte challenge\n",
                 length, offset, message.size());
        return 0;
    }
    out.target_info.assign(message.substr(offset, length));
    return 0;
}

NtlmEntropy NtlmSystemEntropy() {
    return NtlmEntropy{
        [](uint8_t* buf, size_t n) { return n <= INT_MAX && RAND_bytes(buf, static_cast<int>(n)) == 1; },
        [] { return static_cast<int64_t>(time(nullptr)); },
    };
}

int NtlmBuildAuthenticate(const NtlmCredentials& credentials, bool v2, const NtlmChallenge& challenge,
                          const NtlmEntropy& entropy, std::string& out) {
    std::string domain, user, host;
    if (!NtlmToUtf16Le(NtlmUpper(credentials.domain), domain) || !NtlmToUtf16Le(credentials.user, user) ||
        !NtlmToUtf16Le(NtlmUpper(credentials.host), host)) {
        ProxyLog(PROXY_ERR, "NTLM credentials are not UTF-8\n");
        return PROXY_ERR_RESOURCE;
    }

    std::string lm, nt;
    if (v2) {
        uint8_t key[kNtlmHashSize];
        uint8_t nonce[kNtlmChallengeSize];
        if (!NtlmV2Hash(credentials.password, credentials.user, credentials.domain, key)) {
            ProxyLog(PROXY_ERR, "NTLMv2 key failed\n");
            return PROXY_ERR_RESOURCE;
        }
        if (!entropy.random(nonce, sizeof nonce)) {
            ProxyLog(PROXY_ERR, "no random bytes for the NTLMv2 client nonce\n");
            return PROXY_ERR_RESOURCE;
        }
        if (challenge.target_info.empty()) ProxyLog(PROXY_INFO, "NTLM challenge without target information\n");
        if (!NtlmV2Responses(key, challenge.server_challenge, NtlmFiletime(entropy.unix_time()), nonce,
                             challenge.target_info, nt, lm)) {
            ProxyLog(PROXY_ERR, "NTLMv2 responses failed\n");
            return PROXY_ERR_RESOURCE;
        }
    } else {
        uint8_t hash[kNtlmHashSize];
        uint8_t response[kNtlmV1ResponseSize];
        if (!NtlmNtHash(credentials.password, hash)) {
            ProxyLog(PROXY_ERR, "NTLM password is not UTF-8\n");
            return PROXY_ERR_RESOURCE;
        }
        NtlmV1Response(hash, challenge.server_challenge, response);
        nt.assign(reinterpret_cast<const char*>(response), sizeof response);
        NtlmLmHash(credentials.password, hash);
        NtlmV1Response(hash, challenge.server_challenge, response);
        lm.assign(reinterpret_cast<const char*>(response), sizeof response);
    }

    for (const std::string* field : {&domain, &user, &host, &lm, &nt}) {
        if (field->size() > UINT16_MAX) {
            ProxyLog(PROXY_ERR, "NTLM field of %zu bytes is too long\n", field->size());
            return PROXY_ERR_RESOURCE;
        }
    }
    constexpr size_t kHeader = 64;
    size_t domain_at = kHeader;
    size_t user_at = domain_at + domain.size();
    size_t host_at = user_at + user.size();
    size_t lm_at = host_at + host.size();
    size_t nt_at = lm_at + lm.size();
    size_t total = nt_at + nt.size();

    std::string msg = Header(3, kHeader);
    PutField(msg, 12, lm.size(), lm_at);
    PutField(msg, 20, nt.size(), nt_at);
    PutField(msg, 28, domain.size(), domain_at);
    PutField(msg, 36, user.size(), user_at);
    PutField(msg, 44, host.size(), host_at);
    PutField(msg, 52, 0, total);
    PutLe32(msg, 60, challenge.flags);
    msg.reserve(total);
    msg.append(domain).append(user).append(host).append(lm).append(nt);
    out = std::move(msg);
    return 0;
}
