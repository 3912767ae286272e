// The 8-lane MD4, built with AVX2 code generation; called only when the
// processor has AVX2.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#define MD4_LANES_AVX2 1
#endif

namespace {
constexpr int LANES = 8;
#include "delta/md4_lanes_impl.inc"
}  // namespace

void md4_lanes_8(const uint8_t* const* data, size_t length, uint8_t (*out)[16]) {
    md4_lanes(data, length, out);
}
