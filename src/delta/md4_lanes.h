// MD4 of several equal-length messages at once, one message per lane of the
// processor's vector unit (8 lanes with AVX2, else 4 with SSE2). The digests
// are those of Md4::digest, message by message.
#pragma once

#include <cstddef>
#include <cstdint>

class Md4Lanes {
public:
    // Messages hashed together by the fastest available code.
    static size_t width();

    // out[i] = MD4 of the `length` bytes at data[i], for i < count.
    static void digestMany(const uint8_t* const* data, size_t count, size_t length, uint8_t (*out)[16]);

    // The same with a given width (4 or 8; 8 only when the processor has
    // AVX2, else 4 is used); for tests.
    static void digestManyWidth(size_t lanes, const uint8_t* const* data, size_t count, size_t length,
                                uint8_t (*out)[16]);
};
