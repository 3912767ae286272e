// Writes the block signature of the data passing through a reader: a 12-byte
// header (magic, block size, strong-hash size), then per block its weak
// checksum and the first hash-size bytes of its MD4 digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "delta/xio.h"

class SignatureHandler {
public:
    static constexpr uint32_t DEFAULT_BLOCK_SIZE = 2048;
    static constexpr uint32_t DEFAULT_HASH_SIZE = 8;
    static constexpr uint32_t MAX_HASH_SIZE = 16;

    // A block size of 0 keeps 2048; a hash size outside 1..16 keeps 8.
    SignatureHandler(const ustring& file, uint32_t block_size, uint32_t hash_size);
    ~SignatureHandler();
    SignatureHandler(const SignatureHandler&) = delete;
    SignatureHandler& operator=(const SignatureHandler&) = delete;

    int begin();
    int update(const uint8_t* data, size_t length);
    int wait();
    int end();

    // Room the entries of an `n`-byte chunk may take in the write buffer.
    size_t getSignatureSize(size_t n) const { return (n / block_size + 2) * (hash_size + 4); }

    uint32_t getBlockSize() const { return block_size; }
    uint32_t getHashSize() const { return hash_size; }

private:
    void signBlocks(const uint8_t* data, size_t count, size_t length);

    ustring file;
    fd_t fd;
    fd_aio_t aio;
    uint32_t block_size;
    uint32_t hash_size;
    std::vector<uint8_t> write_buffer;
    size_t write_size = 0;
    uint8_t* read_buffer = nullptr;  // an incomplete block, capacity 2 x block size
    size_t read_size = 0;
};
