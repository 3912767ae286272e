#include "delta/rolling_checksum.h"

#include "delta/cpu_features.h"

void rs_sum_bytes_avx2(const uint8_t* data, size_t n, uint32_t& s1, uint32_t& s2);

void RSRollingChecksum::sumBytes(const uint8_t* data, size_t n, uint32_t& s1, uint32_t& s2) {
    uint32_t a = 0, b = 0;
    size_t i = 0;
    if (n >= 64 && has_avx2()) {
        size_t vec = n & ~size_t(31);
        rs_sum_bytes_avx2(data, vec, a, b);
        i = vec;
    }
    for (; i + 4 <= n; i += 4) {
        b += 4 * a + 4 * uint32_t(data[i]) + 3 * uint32_t(data[i + 1]) + 2 * uint32_t(data[i + 2]) +
             uint32_t(data[i + 3]);
        a += uint32_t(data[i]) + data[i + 1] + data[i + 2] + data[i + 3];
    }
    for (; i < n; ++i) {
        a += data[i];
        b += a;
    }
    s1 = a;
    s2 = b;
}
