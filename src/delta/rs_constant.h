// Magics and the command table of the signature and delta file formats.
// All multi-byte integers in both formats are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

class RSConstant {
public:
    static constexpr uint32_t MAGIC_DELTA = 0x72730236;
    static constexpr uint32_t MAGIC_SIGNATURE = 0x72730136;

    static constexpr uint8_t OP_END = 0;
    static constexpr uint8_t OP_LITERAL_N1 = 65;
    static constexpr uint8_t OP_LITERAL_N2 = 66;
    static constexpr uint8_t OP_LITERAL_N4 = 67;
    static constexpr uint8_t OP_LITERAL_N8 = 68;
    static constexpr uint8_t OP_COPY_N1_N1 = 69;
    static constexpr uint8_t OP_COPY_N2_N1 = 73;
    static constexpr uint8_t OP_COPY_N4_N1 = 77;
    static constexpr uint8_t OP_COPY_N8_N1 = 81;

    enum CmdType { TYPE_END = 0, TYPE_LITERAL = 1, TYPE_COPY = 2, TYPE_RESERVED = 3 };

    struct CmdInfo {
        uint8_t type;       // CmdType
        uint8_t immediate;  // literal length carried by the command byte itself (1 to 64), else 0
        uint8_t len_1;      // width in bytes of the first parameter (0: none)
        uint8_t len_2;      // width in bytes of the second parameter (0: none)
    };

    // The entry for one command byte.
    static const CmdInfo& getInfo(uint8_t command);

    // Width (1, 2, 4 or 8 bytes) of the smallest encoding of `value`.
    static int widthOf(uint64_t value) {
        if (value < 0x100) return 1;
        if (value <= 0xFFFF) return 2;
        if (value <= 0xFFFFFFFFull) return 4;
        return 8;
    }

    // Encodes a literal command for `length` bytes (not the bytes themselves)
    // into `out` (at least 9 bytes); returns the bytes used.
    static size_t encodeLiteral(uint64_t length, uint8_t* out);
    // Encodes a copy command into `out` (at least 17 bytes); returns the bytes used.
    static size_t encodeCopy(uint64_t offset, uint64_t length, uint8_t* out);
};

// Big-endian helpers shared by the readers and writers of both formats.
inline void rs_put_be(uint8_t* out, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

inline uint64_t rs_get_be(const uint8_t* in, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | in[i];
    return value;
}

inline uint32_t rs_get_be32(const uint8_t* in) {
    return (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) | uint32_t(in[3]);
}
