// The three NTLM messages of a proxy authentication: the negotiate message
// the client opens with, the proxy's challenge, and the authenticate message
// that answers it. Integers are little-endian; every field descriptor is a
// 16-bit length, the same length again and a 32-bit offset from the start.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/ntlm_hash.h"

// The credentials of one attempt, UTF-8.
struct NtlmCredentials {
    std::string_view user;
    std::string_view password;
    std::string_view domain;
    std::string_view host;  // the workstation name
};

// Negotiate flags: NTLMv2 asks for the target information and extended
// session security besides Unicode, NTLM and always-sign.
constexpr uint32_t kNtlmNegotiateFlagsV1 = 0x00008201;
constexpr uint32_t kNtlmNegotiateFlagsV2 = 0x00088205;

// Messages shorter than this cannot hold the flags and server challenge.
constexpr size_t kNtlmChallengeMinSize = 32;
// The challenge header up to and including the target information
// descriptor.
constexpr size_t kNtlmChallengeHeaderSize = 48;

// The negotiate message: signature, type 1, flags, the domain and
// workstation descriptors, then the host name and the domain, both
// upper-cased, 8-bit. 0, or PROXY_ERR_RESOURCE for a name too long for its
// descriptor.
int NtlmBuildNegotiate(const NtlmCredentials& credentials, bool v2, std::string& out);

struct NtlmChallenge {
    uint32_t flags = 0;
    uint8_t server_challenge[kNtlmChallengeSize] = {};
    std::string target_info;  // empty when the challenge carries none usable
};

// Reads a decoded challenge message. 0, or PROXY_ERR_STATUS for a message
// under kNtlmChallengeMinSize bytes or without the signature and type 2.
// The target information is taken only when the whole header is there and
// its offset and length lie inside the message; otherwise it is empty (and
// logged).
int NtlmParseChallenge(std::string_view message, NtlmChallenge& out);

// Where the NTLMv2 client nonce and time stamp come from.
struct NtlmEntropy {
    std::function<bool(uint8_t* out, size_t n)> random;
    std::function<int64_t()> unix_time;
};
// RAND_bytes and the system clock.
NtlmEntropy NtlmSystemEntropy();

// The authenticate message: signature, type 3, the LM response, NT
// response, domain, user name, workstation and (empty) session key
// descriptors, the challenge's flags, then domain (upper-cased), user name,
// host (upper-cased), all UTF-16LE, and the two responses. NTLMv1 responses
// unless `v2`. 0, or PROXY_ERR_RESOURCE when a text is not UTF-8, a field is
// too long for its descriptor, the nonce cannot be drawn or libcrypto fails.
int NtlmBuildAuthenticate(const NtlmCredentials& credentials, bool v2, const NtlmChallenge& challenge,
                          const NtlmEntropy& entropy, std::string& out);
