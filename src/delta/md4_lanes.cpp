#include "delta/md4_lanes.h"

#include <cstring>

#include "delta/cpu_features.h"
#include "delta/md4.h"

namespace {
constexpr int LANES = 4;
#include "delta/md4_lanes_impl.inc"
}  // namespace

void md4_lanes_8(const uint8_t* const* data, size_t length, uint8_t (*out)[16]);

size_t Md4Lanes::width() {
    return has_avx2() ? 8 : 4;
}

void Md4Lanes::digestMany(const uint8_t* const* data, size_t count, size_t length, uint8_t (*out)[16]) {
    digestManyWidth(width(), data, count, length, out);
}

void Md4Lanes::digestManyWidth(size_t lanes, const uint8_t* const* data, size_t count, size_t length,
                               uint8_t (*out)[16]) {
    size_t i = 0;
    if (lanes == 8 && has_avx2()) {
        for (; i + 8 <= count; i += 8) md4_lanes_8(data + i, length, out + i);
    }
    for (; i + 4 <= count; i += 4) md4_lanes(data + i, length, out + i);
    for (; i < count; ++i) Md4::digest(data[i], length, out[i]);
}
