#include "delta/signature_handler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "delta/diag.h"
#include "delta/md4.h"
#include "delta/md4_lanes.h"
#include "delta/rolling_checksum.h"
#include "delta/rs_constant.h"

SignatureHandler::SignatureHandler(const ustring& f, uint32_t bs, uint32_t hs)
    : file(f),
      block_size(bs == 0 ? DEFAULT_BLOCK_SIZE : bs),
      hash_size(hs >= 1 && hs <= MAX_HASH_SIZE ? hs : DEFAULT_HASH_SIZE) {}

SignatureHandler::~SignatureHandler() {
    fd_close(fd);
    std::free(read_buffer);
}

int SignatureHandler::begin() {
    std::free(read_buffer);
    read_size = 0;
    write_size = 0;
    read_buffer = static_cast<uint8_t*>(std::malloc(2 * static_cast<size_t>(block_size)));
    if (!read_buffer) {
        DELTA_DIAG("cannot allocate a block buffer of %u bytes", block_size);
        return -1;
    }
    fd_close(fd);
    if (fd_open_write(file, fd) != 0) return -1;
    uint8_t header[12];
    rs_put_be(header, RSConstant::MAGIC_SIGNATURE, 4);
    rs_put_be(header + 4, block_size, 4);
    rs_put_be(header + 8, hash_size, 4);
    if (fd_write(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header)) return -1;
    return 0;
}

// Appends the entries of `count` consecutive blocks at `data`, the last of
// which is `length` bytes long (the others a full block).
void SignatureHandler::signBlocks(const uint8_t* data, size_t count, size_t length) {
    // Whole blocks are hashed several at a time.
    constexpr size_t BATCH = 8;
    const uint8_t* blocks[BATCH];
    uint8_t digests[BATCH][Md4::DIGEST_SIZE];
    size_t whole = length == block_size ? count : count - 1;
    for (size_t i = 0; i < count;) {
        size_t n = i < whole ? std::min(BATCH, whole - i) : 1;
        size_t len = i < whole ? block_size : length;
        for (size_t k = 0; k < n; ++k) blocks[k] = data + (i + k) * block_size;
        Md4Lanes::digestMany(blocks, n, len, digests);
        for (size_t k = 0; k < n; ++k) {
            uint8_t* entry = write_buffer.data() + write_size;
            rs_put_be(entry, RSRollingChecksum::of(blocks[k], len), 4);
            std::memcpy(entry + 4, digests[k], hash_size);
            write_size += 4 + hash_size;
        }
        i += n;
    }
}

int SignatureHandler::update(const uint8_t* data, size_t length) {
    if (!fd_is_open(fd) || !read_buffer) return -1;
    size_t need = write_size + getSignatureSize(length);
    if (write_buffer.size() < need) write_buffer.resize(need);

    if (read_size > 0) {
        size_t take = block_size - read_size;
        if (take > length) take = length;
        std::memcpy(read_buffer + read_size, data, take);
        read_size += take;
        data += take;
        length -= take;
        if (read_size == block_size) {
            signBlocks(read_buffer, 1, block_size);
            read_size = 0;
        }
    }
    size_t whole = length / block_size;
    if (whole > 0) signBlocks(data, whole, block_size);
    size_t rest = length - whole * block_size;
    if (rest > 0) {
        std::memcpy(read_buffer + read_size, data + whole * block_size, rest);
        read_size += rest;
    }
    if (write_size == 0) return 0;
    return fd_aio_write(aio, fd, write_buffer.data(), write_size);
}

int SignatureHandler::wait() {
    if (!aio.pending) return 0;
    ssize_t n = fd_aio_wait(aio);
    size_t expected = write_size;
    write_size = 0;
    return n == static_cast<ssize_t>(expected) ? 0 : -1;
}

int SignatureHandler::end() {
    int rc = wait();
    if (!fd_is_open(fd)) return -1;
    if (rc == 0 && read_size > 0) {
        if (write_buffer.size() < write_size + 4 + hash_size) write_buffer.resize(write_size + 4 + hash_size);
        signBlocks(read_buffer, 1, read_size);
        read_size = 0;
        if (fd_write(fd, write_buffer.data(), write_size) != static_cast<ssize_t>(write_size)) rc = -1;
        write_size = 0;
    }
    fd_close(fd);
    std::free(read_buffer);
    read_buffer = nullptr;
    return rc;
}
