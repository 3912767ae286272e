#include "delta/rs_constant.h"

#include <array>

namespace {

constexpr uint8_t width_of_index(int index) {
    return static_cast<uint8_t>(1 << index);
}

constexpr std::array<RSConstant::CmdInfo, 256> build_table() {
    std::array<RSConstant::CmdInfo, 256> table{};
    table[0] = {RSConstant::TYPE_END, 0, 0, 0};
    for (int c = 1; c <= 64; ++c) table[c] = {RSConstant::TYPE_LITERAL, static_cast<uint8_t>(c), 0, 0};
    for (int i = 0; i < 4; ++i) table[65 + i] = {RSConstant::TYPE_LITERAL, 0, width_of_index(i), 0};
    for (int o = 0; o < 4; ++o)
        for (int l = 0; l < 4; ++l)
            table[69 + 4 * o + l] = {RSConstant::TYPE_COPY, 0, width_of_index(o), width_of_index(l)};
    for (int c = 85; c < 256; ++c) table[c] = {RSConstant::TYPE_RESERVED, 0, 0, 0};
    return table;
}

constexpr std::array<RSConstant::CmdInfo, 256> kTable = build_table();

int width_index(int width) {
    return width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
}

}  // namespace

const RSConstant::CmdInfo& RSConstant::getInfo(uint8_t command) {
    return kTable[command];
}

size_t RSConstant::encodeLiteral(uint64_t length, uint8_t* out) {
    if (length >= 1 && length <= 64) {
        out[0] = static_cast<uint8_t>(length);
        return 1;
    }
    int w = widthOf(length);
    out[0] = static_cast<uint8_t>(OP_LITERAL_N1 + width_index(w));
    rs_put_be(out + 1, length, w);
    return 1 + static_cast<size_t>(w);
}

size_t RSConstant::encodeCopy(uint64_t offset, uint64_t length, uint8_t* out) {
    int wo = widthOf(offset);
    int wl = widthOf(length);
    out[0] = static_cast<uint8_t>(OP_COPY_N1_N1 + 4 * width_index(wo) + width_index(wl));
    rs_put_be(out + 1, offset, wo);
    rs_put_be(out + 1 + wo, length, wl);
    return 1 + static_cast<size_t>(wo) + static_cast<size_t>(wl);
}
