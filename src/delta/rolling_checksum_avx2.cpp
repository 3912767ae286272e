// Sums of a run of bytes for the weak checksum, 32 bytes at a time with
// AVX2; called only when the processor has AVX2.
#include <cstddef>
#include <cstdint>

#if defined(__AVX2__)
#include <immintrin.h>

// s1 = sum of the n bytes, s2 = sum of (n - i) x_i (i from 0), both modulo
// 2^32; n is a multiple of 32.
void rs_sum_bytes_avx2(const uint8_t* data, size_t n, uint32_t& s1, uint32_t& s2) {
    const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                                             13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    __m256i v_s1 = zero;  // byte sums so far, in the low words of four 64-bit lanes
    __m256i v_ps = zero;  // sum of v_s1 before each chunk
    __m256i v_w = zero;   // weighted sums of each chunk
    for (size_t off = 0; off < n; off += 32) {
        __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + off));
        v_ps = _mm256_add_epi32(v_ps, v_s1);
        v_s1 = _mm256_add_epi32(v_s1, _mm256_sad_epu8(x, zero));
        v_w = _mm256_add_epi32(v_w, _mm256_madd_epi16(_mm256_maddubs_epi16(x, weights), ones));
    }
    // Horizontal sums of the 32-bit lanes.
    auto hsum = [](__m256i v) {
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
    };
    s1 = hsum(v_s1);
    s2 = 32 * hsum(v_ps) + hsum(v_w);
}
#else
// Built without AVX2: never called (the caller checks the processor).
void rs_sum_bytes_avx2(const uint8_t*, size_t, uint32_t& s1, uint32_t& s2) {
    s1 = s2 = 0;
}
#endif
