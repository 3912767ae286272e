#include "net/relay_token.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "net/base64.h"
#include "net/relay_config.h"

namespace {

constexpr size_t kFixedPart = 26;
constexpr size_t kMaxPadding = 8;

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

void PutBe16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

void PutBe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

uint32_t GetBe32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool Random(unsigned char* p, int n) {
    return RAND_bytes(p, n) == 1;
}

// Runs the cipher over `in` into `out` (room for in_len + 8). The output
// length, or -1.
int Crypt(bool encrypt, uint32_t seed, const unsigned char* in, size_t in_len, unsigned char* out) {
    unsigned char key[24];
    if (in_len > static_cast<size_t>(INT_MAX) - kMaxPadding || !CORVCryptoDeriveKey(seed, key)) return -1;
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int n = 0;
    int tail = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, kRelayTokenIv, encrypt) == 1 &&
              EVP_CipherUpdate(ctx.get(), out, &n, in, static_cast<int>(in_len)) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), out + n, &tail) == 1;
    OPENSSL_cleanse(key, sizeof key);
    return ok ? n + tail : -1;
}

}  // namespace

bool CORVCryptoDeriveKey(uint32_t seed, unsigned char key[24]) {
    unsigned char input[4];
    PutBe32(input, seed * kRelayKeyMultiplier + kRelayKeyAddend);
    unsigned char digests[EVP_MAX_MD_SIZE * 2];
    unsigned int sha_len = 0;
    unsigned int md5_len = 0;
    if (EVP_Digest(input, sizeof input, digests, &sha_len, EVP_sha1(), nullptr) != 1 || sha_len != 20 ||
        EVP_Digest(input, sizeof input, digests + sha_len, &md5_len, EVP_md5(), nullptr) != 1 || md5_len != 16) {
        return false;
    }
    memcpy(key, digests, 24);
    return true;
}

size_t CORVCryptoEncryptLength(size_t plain_len) {
    return plain_len + kFixedPart + kMaxPadding;
}

int CORVCryptoEncrypt(char* pOutput, size_t cbOutput, const void* pContext, size_t cbContext) {
    if (cbOutput < CORVCryptoEncryptLength(cbContext) || cbOutput > static_cast<size_t>(INT_MAX)) return -1;
    unsigned char* out = reinterpret_cast<unsigned char*>(pOutput);
    PutBe16(out, 0xFFFF);
    PutBe16(out + 2, 1);
    if (!Random(out + 4, 6) || !Random(out + 10, 4) || !Random(out + 14, 6)) return -1;
    int n = Crypt(true, GetBe32(out + 10), static_cast<const unsigned char*>(pContext), cbContext, out + 24);
    if (n < 0) return -1;
    PutBe32(out + 20, static_cast<uint32_t>(n));
    if (!Random(out + 24 + n, 2)) return -1;
    return n + static_cast<int>(kFixedPart);
}

int CORVCryptoDecrypt(char* pOutput, size_t cbOutput, const void* pContext, size_t cbContext) {
    const unsigned char* in = static_cast<const unsigned char*>(pContext);
    if (cbContext <= kFixedPart) return 0;
    if (in[0] != 0xFF || in[1] != 0xFF) return 0;
    if ((in[2] << 8 | in[3]) > 1) return 0;
    size_t n = GetBe32(in + 20);
    if (n > cbContext - kFixedPart) return 0;
    std::string plain(n + kMaxPadding, '\0');
    int len = Crypt(false, GetBe32(in + 10), in + 24, n, reinterpret_cast<unsigned char*>(plain.data()));
    if (len <= 0 || static_cast<size_t>(len) > cbOutput) return 0;
    memcpy(pOutput, plain.data(), static_cast<size_t>(len));
    OPENSSL_cleanse(plain.data(), plain.size());
    return len;
}

int CORVCryptoBase64Encode(char* pszEncoded, size_t cbEncoded, const void* pContext, size_t cbContext) {
    std::string text = Base64Encode(pContext, cbContext);
    size_t n = text.size() < cbEncoded ? text.size() : cbEncoded;
    if (n > static_cast<size_t>(INT_MAX)) n = INT_MAX;
    memcpy(pszEncoded, text.data(), n);
    return static_cast<int>(n);
}

int CORVCryptoBase64Decode(char* pOutput, size_t cbOutput, const char* pszEncoded, size_t cbEncoded) {
    std::string bytes;
    if (!Base64Decode(std::string_view(pszEncoded, cbEncoded), bytes) || bytes.size() > cbOutput ||
        bytes.size() > static_cast<size_t>(INT_MAX)) {
        return -1;
    }
    memcpy(pOutput, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}
