// The values that tie this client to its relay endpoint. The relay reads
// the authentication token only when it derives the same key, and answers
// only requests that name its host: a deployment sets all four to its
// relay's values here. The stand-in relay of the tests includes this header,
// so client and relay always agree.
#pragma once

#include <cstdint>

// The token key is derived from the token's 32-bit seed as
// seed * kRelayKeyMultiplier + kRelayKeyAddend (32-bit arithmetic).
inline constexpr uint32_t kRelayKeyMultiplier = 0x9E3779B1u;
inline constexpr uint32_t kRelayKeyAddend = 0x7F4A7C15u;

// The initialisation vector of the token's triple-DES CBC encryption.
inline constexpr unsigned char kRelayTokenIv[8] = {0x54, 0x69, 0x64, 0x65, 0x77, 0x65, 0x6c, 0x6c};

// The relay endpoint's name on the "Host" line of the upgrade request.
inline constexpr char kRelayHostName[] = "relay.tidewell.invalid";
