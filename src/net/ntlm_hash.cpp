// The low-level MD4 and DES interfaces are deprecated in OpenSSL 3 but still
// exported by libcrypto; unlike the EVP ones they need no legacy provider.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "net/ntlm_hash.h"

#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md4.h>
#include <unicode/ustring.h>

#include <cstring>

namespace {

// Spreads 7 key bytes over 8 with odd parity, as DES keys are laid out.
void DesKey(const uint8_t in[7], DES_cblock& key) {
    key[0] = in[0];
    key[1] = static_cast<uint8_t>((in[0] << 7) | (in[1] >> 1));
    key[2] = static_cast<uint8_t>((in[1] << 6) | (in[2] >> 2));
    key[3] = static_cast<uint8_t>((in[2] << 5) | (in[3] >> 3));
    key[4] = static_cast<uint8_t>((in[3] << 4) | (in[4] >> 4));
    key[5] = static_cast<uint8_t>((in[4] << 3) | (in[5] >> 5));
    key[6] = static_cast<uint8_t>((in[5] << 2) | (in[6] >> 6));
    key[7] = static_cast<uint8_t>(in[6] << 1);
    DES_set_odd_parity(&key);
}

void DesEncrypt(const uint8_t key7[7], const uint8_t in[8], uint8_t out[8]) {
    DES_cblock key;
    DesKey(key7, key);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    DES_cblock block;
    memcpy(block, in, 8);
    DES_cblock result;
    DES_ecb_encrypt(&block, &result, &schedule, DES_ENCRYPT);
    memcpy(out, result, 8);
}

bool HmacMd5(const uint8_t key[kNtlmHashSize], std::string_view data, uint8_t out[kNtlmHashSize]) {
    unsigned int len = 0;
    return HMAC(EVP_md5(), key, kNtlmHashSize, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out,
                &len) != nullptr &&
           len == kNtlmHashSize;
}

void PutLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void PutLe64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

bool NtlmToUtf16Le(std::string_view utf8, std::string& out) {
    out.clear();
    if (utf8.empty()) return true;
    if (utf8.size() > static_cast<size_t>(INT32_MAX / 2)) return false;
    std::u16string wide(utf8.size(), u'\0');
    int32_t wide_len = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(reinterpret_cast<UChar*>(wide.data()), static_cast<int32_t>(wide.size()), &wide_len, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status)) return false;
    out.reserve(2 * static_cast<size_t>(wide_len));
    for (int32_t i = 0; i < wide_len; ++i) {
        out.push_back(static_cast<char>(wide[i] & 0xff));
        out.push_back(static_cast<char>(wide[i] >> 8));
    }
    return true;
}

std::string NtlmUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool NtlmNtHash(std::string_view password, uint8_t hash[kNtlmHashSize]) {
    std::string wide;
    if (!NtlmToUtf16Le(password, wide)) return false;
    MD4(reinterpret_cast<const unsigned char*>(wide.data()), wide.size(), hash);
    return true;
}

void NtlmLmHash(std::string_view password, uint8_t hash[kNtlmHashSize]) {
    static const uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    uint8_t key[14] = {};
    std::string upper = NtlmUpper(password.substr(0, 14));
    memcpy(key, upper.data(), upper.size());
    DesEncrypt(key, kMagic, hash);
    DesEncrypt(key + 7, kMagic, hash + 8);
}

void NtlmV1Response(const uint8_t hash[kNtlmHashSize], const uint8_t challenge[kNtlmChallengeSize],
                    uint8_t response[kNtlmV1ResponseSize]) {
    uint8_t keys[21] = {};
    memcpy(keys, hash, kNtlmHashSize);
    DesEncrypt(keys, challenge, response);
    DesEncrypt(keys + 7, challenge, response + 8);
    DesEncrypt(keys + 14, challenge, response + 16);
}

bool NtlmV2HashOfIdentity(const uint8_t nt_hash[kNtlmHashSize], std::string_view identity,
                          uint8_t hash[kNtlmHashSize]) {
    std::string wide;
    if (!NtlmToUtf16Le(identity, wide)) return false;
    return HmacMd5(nt_hash, wide, hash);
}

bool NtlmV2Hash(std::string_view password, std::string_view user, std::string_view domain,
                uint8_t hash[kNtlmHashSize]) {
    uint8_t nt_hash[kNtlmHashSize];
    if (!NtlmNtHash(password, nt_hash)) return false;
    std::string identity(user);
    identity.append(domain);
    return NtlmV2HashOfIdentity(nt_hash, NtlmUpper(identity), hash);
}

bool NtlmV2Responses(const uint8_t v2_hash[kNtlmHashSize], const uint8_t challenge[kNtlmChallengeSize],
                     uint64_t filetime, const uint8_t client_nonce[kNtlmChallengeSize], std::string_view target_info,
                     std::string& nt_response, std::string& lm_response) {
    std::string blob;
    blob.reserve(32 + target_info.size());
    PutLe32(blob, 0x00000101);
    PutLe32(blob, 0);
    PutLe64(blob, filetime);
    blob.append(reinterpret_cast<const char*>(client_nonce), kNtlmChallengeSize);
    PutLe32(blob, 0);
    blob.append(target_info);
    PutLe32(blob, 0);

    std::string signed_part(reinterpret_cast<const char*>(challenge), kNtlmChallengeSize);
    uint8_t proof[kNtlmHashSize];
    if (!HmacMd5(v2_hash, signed_part + blob, proof)) return false;
    nt_response.assign(reinterpret_cast<const char*>(proof), kNtlmHashSize);
    nt_response.append(blob);

    if (!HmacMd5(v2_hash,
                 signed_part + std::string(reinterpret_cast<const char*>(client_nonce), kNtlmChallengeSize), proof)) {
        return false;
    }
    lm_response.assign(reinterpret_cast<const char*>(proof), kNtlmHashSize);
    lm_response.append(reinterpret_cast<const char*>(client_nonce), kNtlmChallengeSize);
    return true;
}

uint64_t NtlmFiletime(int64_t unix_seconds) {
    return static_cast<uint64_t>(unix_seconds) * 10000000ull + 116444736000000000ull;
}
