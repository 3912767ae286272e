// Writes the delta of the data passing through a reader against the block
// signature of an older version: copy commands for runs of blocks found in
// the old version, literal commands for everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "delta/rolling_checksum.h"
#include "delta/xio.h"

struct DeltaBlock {
    uint32_t weaksum;
    uint32_t index;
};

class DeltaHandler {
public:
    DeltaHandler(const ustring& delta_file, const ustring& signature_file);
    ~DeltaHandler();
    DeltaHandler(const DeltaHandler&) = delete;
    DeltaHandler& operator=(const DeltaHandler&) = delete;

    // Loads the signature (a missing or malformed one fails) and creates the
    // delta file.
    int begin();
    int update(const uint8_t* data, size_t length);
    int wait();
    int end();

private:
    int loadSignature();
    bool matchBlock(size_t pos);
    bool findMatch(const uint8_t* window);
    bool extendMatch(size_t pos);
    void clearMatch();
    void clearMismatch(size_t pos);
    bool mayMatch(uint32_t digest) const {
        uint32_t h = (digest * 0x9E3779B1u) >> prefilter_shift;
        return (prefilter[h >> 6] >> (h & 63)) & 1;
    }
    // Scans on from the window at `pos` (not matched, no run open, a literal
    // pending) while no window can match; returns the first position that
    // may match, or the position where fewer than a block size remain.
    size_t skipMismatches(size_t pos);
    void reserveWrite(size_t extra);
    void appendWrite(const void* data, size_t length);
    const uint8_t* strongOf(uint32_t index) const { return sig_body.data() + size_t(index) * (4 + hash_size) + 4; }
    uint32_t weakOf(uint32_t index) const;
    // The MD4 of the window at `pos`. Runs of matched blocks are checked
    // window after window, so the windows at pos, pos + block size, ... are
    // hashed together and kept until the buffer moves.
    const uint8_t* strongOfWindow(size_t pos);

    ustring delta_file;
    ustring signature_file;
    fd_t fd;
    fd_aio_t aio;
    uint32_t block_size = 0;
    uint32_t hash_size = 0;
    std::vector<uint8_t> sig_body;
    std::vector<DeltaBlock> sig_stat;  // sorted by weaksum, then index
    uint32_t sig_block_count = 0;
    std::vector<uint64_t> prefilter;  // one bit per hashed weak checksum present
    unsigned prefilter_shift = 32;

    std::vector<uint8_t> read_buffer;  // bytes not yet emitted
    size_t read_size = 0;
    std::vector<uint8_t> write_buffer;  // commands not yet written
    size_t write_size = 0;

    std::vector<uint32_t> match_possibility;
    uint64_t match_start = 0;
    uint64_t match_count = 0;
    static constexpr size_t NO_MISMATCH = static_cast<size_t>(-1);
    size_t mismatch_start = NO_MISMATCH;  // offset in read_buffer of pending literal bytes
    RSRollingChecksum checksum;
    static constexpr size_t STRONG_AHEAD = 8;
    size_t ahead_pos = 0;
    size_t ahead_count = 0;
    uint8_t ahead_digest[STRONG_AHEAD][16];
    bool loaded = false;
};
