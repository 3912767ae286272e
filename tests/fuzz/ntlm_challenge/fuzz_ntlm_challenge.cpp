// Feeds arbitrary bytes as a decoded NTLM challenge to the challenge reader
// and answers every accepted one with NTLMv1 and NTLMv2 authenticate
// messages, checking that the target information came from inside the
// input and that every field of the answer lies inside the answer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/ntlm_message.h"

namespace {

uint32_t Le32(const std::string& m, size_t at) {
    return static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8 | static_cast<uint8_t>(m[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(m[at + 3])) << 24;
}

void CheckAuthenticate(const std::string& m, const NtlmChallenge& challenge) {
    if (m.size() < 64 || memcmp(m.data(), "NTLMSSP\0\3\0\0\0", 12) != 0) abort();
    size_t end = 64;
    for (size_t at : {28, 36, 44, 12, 20}) {  // payload order
        size_t len = static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8;
        if (Le32(m, at + 4) != end) abort();
        end += len;
    }
    if (end != m.size() || Le32(m, 56) != m.size() || Le32(m, 60) != challenge.flags) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string message(reinterpret_cast<const char*>(data), size);
    NtlmChallenge challenge;
    if (NtlmParseChallenge(message, challenge) != 0) return 0;
    if (size < kNtlmChallengeMinSize) abort();
    if (!challenge.target_info.empty() && message.find(challenge.target_info) == std::string::npos) abort();
    if (challenge.target_info.size() > size) abort();

    NtlmEntropy entropy{[](uint8_t* out, size_t n) {
                            memset(out, 0x5a, n);
                            return true;
                        },
                        [] { return int64_t{0}; }};
    for (bool v2 : {false, true}) {
        std::string out;
        if (NtlmBuildAuthenticate({"user", "password", "domain", "host"}, v2, challenge, entropy, out) != 0) abort();
        CheckAuthenticate(out, challenge);
    }
    return 0;
}
