// The weak checksum of a block, updated as a window rolls over the data.
#pragma once

#include <cstddef>
#include <cstdint>

class RSRollingChecksum {
public:
    static constexpr uint32_t CHAR_OFFSET = 31;

    void reset() {
        count = 0;
        a = 0;
        b = 0;
    }

    void add(uint8_t x) {
        a += x + CHAR_OFFSET;
        b += a;
        ++count;
    }

    // Adds `n` bytes; the same as calling add() for each of them.
    void update(const uint8_t* data, size_t n) {
        uint32_t s1, s2;
        sumBytes(data, n, s1, s2);
        // Fold in the byte offsets and the sum already held: each of the n new
        // bytes adds the old `a` to `b` once.
        uint32_t m = static_cast<uint32_t>(n);
        uint32_t tri = static_cast<uint32_t>((uint64_t(n) * (uint64_t(n) + 1) / 2));
        b += m * a + s2 + CHAR_OFFSET * tri;
        a += s1 + CHAR_OFFSET * m;
        count += n;
    }

    // s1 = the sum of the n bytes, s2 = the sum of (n - i) x[i], both modulo
    // 2^32 (vectorised where the processor allows).
    static void sumBytes(const uint8_t* data, size_t n, uint32_t& s1, uint32_t& s2);

    // Removes the oldest byte `x` of the window.
    void remove(uint8_t x) {
        a -= x + CHAR_OFFSET;
        b -= static_cast<uint32_t>(count) * (x + CHAR_OFFSET);
        --count;
    }

    // Rolls the window one byte on: `out` leaves, `in` enters.
    void roll(uint8_t out, uint8_t in) {
        remove(out);
        add(in);
    }

    uint32_t digest() const { return (a & 0xFFFF) | (b << 16); }

    // The checksum of `n` bytes from an empty sum.
    static uint32_t of(const uint8_t* data, size_t n) {
        RSRollingChecksum c;
        c.update(data, n);
        return c.digest();
    }

    size_t count = 0;
    uint32_t a = 0;
    uint32_t b = 0;
};
