// The low-level MD4 interface is deprecated in OpenSSL 3 but still exported
// by libcrypto; unlike the EVP digest it does not need the legacy provider.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "delta/md4.h"

#include <openssl/md4.h>

struct Md4::State {
    MD4_CTX ctx;
};

Md4::Md4() : state(new State) {
    init();
}
Md4::~Md4() = default;

void Md4::init() {
    MD4_Init(&state->ctx);
}
void Md4::update(const void* data, size_t length) {
    MD4_Update(&state->ctx, data, length);
}
void Md4::final(uint8_t digest[DIGEST_SIZE]) {
    MD4_Final(digest, &state->ctx);
}

void Md4::digest(const void* data, size_t length, uint8_t out[DIGEST_SIZE]) {
    MD4(static_cast<const unsigned char*>(data), length, out);
}

ustring Md4::toHex(const uint8_t digest[DIGEST_SIZE]) {
    static const char hex[] = "0123456789abcdef";
    char text[2 * DIGEST_SIZE];
    for (size_t i = 0; i < DIGEST_SIZE; ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 15];
    }
    return ustring(text, sizeof text);
}
