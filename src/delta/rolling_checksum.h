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
        uint32_t s1 = 0, s2 = 0;
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            s2 += 4 * s1 + 4 * uint32_t(data[i]) + 3 * uint32_t(data[i + 1]) + 2 * uint32_t(data[i + 2]) +
                  uint32_t(data[i + 3]);
            s1 += uint32_t(data[i]) + data[i + 1] + data[i + 2] + data[i + 3];
        }
        for (; i < n; ++i) {
            s1 += data[i];
            s2 += s1;
        }
        // Fold in the byte offsets and the sum already held: each of the n new
        // bytes adds the old `a` to `b` once.
        uint32_t m = static_cast<uint32_t>(n);
        uint32_t tri = static_cast<uint32_t>((uint64_t(n) * (uint64_t(n) + 1) / 2));
        b += m * a + s2 + CHAR_OFFSET * tri;
        a += s1 + CHAR_OFFSET * m;
        count += n;
    }

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
