// The relay's authentication token: the text "host:port" and its zero byte,
// encrypted with triple DES (EDE, three keys) in CBC mode under a key
// derived from a random seed carried in the record, then sent as Base64.
//
// Record layout, integers big-endian:
//   0  2  marker 0xFFFF           10  4  seed (random)
//   2  2  version 1               14  6  random bytes
//   4  6  random bytes            20  4  ciphertext length n
//  24  n  ciphertext              24+n 2 random bytes
// The record is n + 26 bytes long.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest record for `plain_len` plaintext bytes (the cipher pads by 1 to
// 8 bytes).
size_t CORVCryptoEncryptLength(size_t plain_len);

// Builds the record of `cbContext` plaintext bytes into `pOutput`. Its
// length, or -1 when the output space is below CORVCryptoEncryptLength or
// random bytes or the cipher fail.
int CORVCryptoEncrypt(char* pOutput, size_t cbOutput, const void* pContext, size_t cbContext);

// Reads a record back. The plaintext length, or 0 when the record is refused:
// 26 bytes or shorter, a marker other than 0xFFFF, a version above 1, shorter
// than its ciphertext length plus 26, a ciphertext that does not decrypt, or
// a plaintext larger than the output space.
int CORVCryptoDecrypt(char* pOutput, size_t cbOutput, const void* pContext, size_t cbContext);

// Standard Base64 with padding and no line breaks. Copies at most `cbEncoded`
// characters and returns how many it copied; no terminator is written.
int CORVCryptoBase64Encode(char* pszEncoded, size_t cbEncoded, const void* pContext, size_t cbContext);

// The bytes of a Base64 text, or -1 when it is not one or does not fit.
int CORVCryptoBase64Decode(char* pOutput, size_t cbOutput, const char* pszEncoded, size_t cbEncoded);

// The 24-byte key for a seed: SHA-1 and MD5 of the 4 big-endian bytes of
// seed * multiplier + addend, end to end, the first 24 of their 36 bytes.
// False when a digest fails.
bool CORVCryptoDeriveKey(uint32_t seed, unsigned char key[24]);
