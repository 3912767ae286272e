// MD4 digests (RFC 1320) computed by OpenSSL's libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/ustring.h"

class Md4 {
public:
    static constexpr size_t DIGEST_SIZE = 16;

    Md4();
    ~Md4();
    Md4(const Md4&) = delete;
    Md4& operator=(const Md4&) = delete;

    void init();
    void update(const void* data, size_t length);
    void final(uint8_t digest[DIGEST_SIZE]);

    // The digest of one buffer.
    static void digest(const void* data, size_t length, uint8_t out[DIGEST_SIZE]);
    // 32 lower-case hexadecimal digits.
    static ustring toHex(const uint8_t digest[DIGEST_SIZE]);

private:
    struct State;
    std::unique_ptr<State> state;
};
