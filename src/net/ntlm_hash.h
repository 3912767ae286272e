// The NTLM one-way functions and responses, from libcrypto's MD4, MD5,
// HMAC-MD5 and single DES; UTF-16 from ICU.
//
// Texts are UTF-8 in and UTF-16LE (no terminator) inside the hashes. Upper-
// casing works byte by byte on ASCII letters only, as the C locale does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t kNtlmHashSize = 16;
constexpr size_t kNtlmChallengeSize = 8;
constexpr size_t kNtlmV1ResponseSize = 24;

// UTF-8 to UTF-16LE bytes; false for text that is not UTF-8.
bool NtlmToUtf16Le(std::string_view utf8, std::string& out);

// ASCII letters to upper case, every other byte kept.
std::string NtlmUpper(std::string_view text);

// MD4 of the UTF-16LE password. False when the password is not UTF-8.
bool NtlmNtHash(std::string_view password, uint8_t hash[kNtlmHashSize]);

// "KGS!@#$%" encrypted with DES under the two 7-byte halves of the
// password's first 14 bytes, upper-cased and zero-padded.
void NtlmLmHash(std::string_view password, uint8_t hash[kNtlmHashSize]);

// The NTLMv1 response: the server challenge encrypted with DES under three
// keys spread from `hash` padded with five zero bytes.
void NtlmV1Response(const uint8_t hash[kNtlmHashSize], const uint8_t challenge[kNtlmChallengeSize],
                    uint8_t response[kNtlmV1ResponseSize]);

// HMAC-MD5 keyed with the NT hash over the UTF-16LE of `identity`, the
// user name and domain text exactly as given. False when it is not UTF-8
// (or libcrypto fails).
bool NtlmV2HashOfIdentity(const uint8_t nt_hash[kNtlmHashSize], std::string_view identity,
                          uint8_t hash[kNtlmHashSize]);

// The NTLMv2 key as the proxy client forms it: the identity is user name and
// domain together, both upper-cased (an empty domain leaves the user name
// alone).
bool NtlmV2Hash(std::string_view password, std::string_view user, std::string_view domain,
                uint8_t hash[kNtlmHashSize]);

// The NTLMv2 responses. `filetime` is the 64-bit time stamp in 100 ns steps
// since 1601; the blob is 01 01 00 00, 4 zero bytes, the time stamp, the
// client nonce, 4 zero bytes, the target information, 4 zero bytes.
//   nt = HMAC-MD5(key, server challenge + blob) + blob
//   lm = HMAC-MD5(key, server challenge + client nonce) + client nonce
// False when libcrypto fails.
bool NtlmV2Responses(const uint8_t v2_hash[kNtlmHashSize], const uint8_t challenge[kNtlmChallengeSize],
                     uint64_t filetime, const uint8_t client_nonce[kNtlmChallengeSize], std::string_view target_info,
                     std::string& nt_response, std::string& lm_response);

// Seconds since 1970 as the NTLM time stamp.
uint64_t NtlmFiletime(int64_t unix_seconds);
