// The 8-lane MD4, built with AVX2 code generation; called only when the
// processor has AVX2.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
constexpr int LANES = 8;
#include "delta/md4_lanes_impl.inc"
}  // namespace

void md4_lanes_8(const uint8_t* const* data, size_t length, uint8_t (*out)[16]) {
    md4_lanes(data, length, out);
}
