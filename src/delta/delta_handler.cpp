#include "delta/delta_handler.h"

#include <algorithm>
#include <cstring>

#include "delta/diag.h"
#include "delta/md4.h"
#include "delta/md4_lanes.h"
#include "delta/rs_constant.h"

DeltaHandler::DeltaHandler(const ustring& d, const ustring& s) : delta_file(d), signature_file(s) {}

DeltaHandler::~DeltaHandler() {
    fd_close(fd);
}

uint32_t DeltaHandler::weakOf(uint32_t index) const {
    return rs_get_be32(sig_body.data() + size_t(index) * (4 + hash_size));
}

int DeltaHandler::loadSignature() {
    fd_t sig;
    if (fd_open_read(signature_file, sig) != 0) {
        DELTA_DIAG("cannot open signature '%s'", signature_file.c_str());
        return -1;
    }
    uint8_t header[12];
    size_t got = 0;
    while (got < sizeof header) {
        ssize_t n = fd_read(sig, header + got, sizeof header - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof header || rs_get_be32(header) != RSConstant::MAGIC_SIGNATURE) {
        DELTA_DIAG("invalid signature header");
        fd_close(sig);
        return -1;
    }
    block_size = rs_get_be32(header + 4);
    hash_size = rs_get_be32(header + 8);
    if (block_size == 0) {
        DELTA_DIAG("invalid signature block size");
        fd_close(sig);
        return -1;
    }
    if (hash_size < 1 || hash_size > 16) {
        DELTA_DIAG("invalid signature hash size");
        fd_close(sig);
        return -1;
    }
    uint64_t file_size = 0;
    if (fd_stat(sig, file_size) != 0) {
        fd_close(sig);
        return -1;
    }
    // The size is a hint only: the body is read to the end of the file.
    sig_body.clear();
    sig_body.reserve(file_size > 12 ? static_cast<size_t>(file_size - 12) : 0);
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = fd_read(sig, chunk, sizeof chunk);
        if (n < 0) {
            fd_close(sig);
            return -1;
        }
        if (n == 0) break;
        sig_body.insert(sig_body.end(), chunk, chunk + n);
    }
    fd_close(sig);

    uint64_t entries = sig_body.size() / (4 + hash_size);
    if (entries > UINT32_MAX) {
        DELTA_DIAG("signature has too many blocks (%llu)", static_cast<unsigned long long>(entries));
        return -1;
    }
    sig_block_count = static_cast<uint32_t>(entries);
    sig_stat.resize(sig_block_count);
    for (uint32_t i = 0; i < sig_block_count; ++i) sig_stat[i] = {weakOf(i), i};
    std::sort(sig_stat.begin(), sig_stat.end(), [](const DeltaBlock& x, const DeltaBlock& y) {
        return x.weaksum != y.weaksum ? x.weaksum < y.weaksum : x.index < y.index;
    });

    // About 128 bits per block keeps false hits near 1%, within 16 MiB.
    unsigned bits_log2 = 12;
    while (bits_log2 < 27 && (uint64_t(1) << bits_log2) < uint64_t(sig_block_count) * 128) ++bits_log2;
    prefilter.assign((size_t(1) << bits_log2) / 64, 0);
    prefilter_shift = 32 - bits_log2;
    for (const DeltaBlock& blk : sig_stat) {
        uint32_t h = (blk.weaksum * 0x9E3779B1u) >> prefilter_shift;
        prefilter[h >> 6] |= uint64_t(1) << (h & 63);
    }
    return 0;
}

int DeltaHandler::begin() {
    loaded = false;
    read_size = 0;
    write_size = 0;
    match_possibility.clear();
    match_start = match_count = 0;
    mismatch_start = NO_MISMATCH;
    checksum.reset();
    ahead_count = 0;
    if (read_buffer.size() < 500) read_buffer.resize(500);
    if (write_buffer.size() < 500) write_buffer.resize(500);
    if (loadSignature() != 0) return -1;
    fd_close(fd);
    if (fd_open_write(delta_file, fd) != 0) return -1;
    uint8_t magic[4];
    rs_put_be(magic, RSConstant::MAGIC_DELTA, 4);
    if (fd_write(fd, magic, 4) != 4) return -1;
    loaded = true;
    return 0;
}

void DeltaHandler::reserveWrite(size_t extra) {
    if (write_buffer.size() - write_size < extra)
        write_buffer.resize(std::max(write_size + extra, write_buffer.size() * 2));
}

void DeltaHandler::appendWrite(const void* data, size_t length) {
    reserveWrite(length);
    std::memcpy(write_buffer.data() + write_size, data, length);
    write_size += length;
}

bool DeltaHandler::findMatch(const uint8_t* window) {
    match_possibility.clear();
    match_start = 0;
    match_count = 0;
    uint32_t digest = checksum.digest();
    if (!mayMatch(digest)) return false;
    auto it = std::lower_bound(sig_stat.begin(), sig_stat.end(), digest,
                               [](const DeltaBlock& blk, uint32_t d) { return blk.weaksum < d; });
    uint8_t strong[Md4::DIGEST_SIZE];
    bool have_strong = false;
    for (; it != sig_stat.end() && it->weaksum == digest; ++it) {
        if (!have_strong) {
            Md4::digest(window, block_size, strong);
            have_strong = true;
        }
        if (std::memcmp(strong, strongOf(it->index), hash_size) == 0) {
            match_possibility.push_back(it->index);
            match_start = it->index;
            match_count = 1;
            checksum.reset();
            return true;
        }
    }
    return false;
}

const uint8_t* DeltaHandler::strongOfWindow(size_t pos) {
    if (ahead_count > 0 && pos >= ahead_pos && (pos - ahead_pos) % block_size == 0 &&
        (pos - ahead_pos) / block_size < ahead_count)
        return ahead_digest[(pos - ahead_pos) / block_size];
    const uint8_t* windows[STRONG_AHEAD];
    size_t n = 0;
    while (n < STRONG_AHEAD && n < Md4Lanes::width() && pos + (n + 1) * size_t(block_size) <= read_size) {
        windows[n] = read_buffer.data() + pos + n * size_t(block_size);
        ++n;
    }
    Md4Lanes::digestMany(windows, n, block_size, ahead_digest);
    ahead_pos = pos;
    ahead_count = n;
    return ahead_digest[0];
}

bool DeltaHandler::extendMatch(size_t pos) {
    uint32_t digest = checksum.digest();
    const uint8_t* strong = nullptr;
    size_t kept = 0;
    for (uint32_t c : match_possibility) {
        uint64_t next = uint64_t(c) + match_count;
        if (next >= sig_block_count) continue;
        uint32_t n = static_cast<uint32_t>(next);
        if (weakOf(n) != digest) continue;
        if (!strong) strong = strongOfWindow(pos);
        if (std::memcmp(strong, strongOf(n), hash_size) != 0) continue;
        match_possibility[kept++] = c;
    }
    match_possibility.resize(kept);
    if (kept == 0) return false;
    match_start = match_possibility[0];
    checksum.reset();
    ++match_count;
    return true;
}

void DeltaHandler::clearMatch() {
    if (match_count > 0) {
        uint8_t cmd[17];
        size_t n = RSConstant::encodeCopy(uint64_t(block_size) * match_start, uint64_t(block_size) * match_count, cmd);
        appendWrite(cmd, n);
    }
    match_start = 0;
    match_count = 0;
    match_possibility.clear();
}

void DeltaHandler::clearMismatch(size_t pos) {
    if (mismatch_start == NO_MISMATCH) return;
    size_t length = pos - mismatch_start;
    if (length > 0) {
        uint8_t cmd[9];
        size_t n = RSConstant::encodeLiteral(length, cmd);
        reserveWrite(n + length);
        appendWrite(cmd, n);
        appendWrite(read_buffer.data() + mismatch_start, length);
    }
    mismatch_start = NO_MISMATCH;
}

bool DeltaHandler::matchBlock(size_t pos) {
    const uint8_t* window = read_buffer.data() + pos;
    if (match_count > 0) {
        if (extendMatch(pos)) return true;
        clearMatch();
    }
    if (findMatch(window)) {
        clearMismatch(pos);
        return true;
    }
    if (mismatch_start == NO_MISMATCH) mismatch_start = pos;
    return false;
}

size_t DeltaHandler::skipMismatches(size_t pos) {
    const uint8_t* buf = read_buffer.data();
    const size_t bs = block_size;
    const size_t last = read_size - bs;  // the last position with a full window
    uint32_t a = checksum.a, b = checksum.b;
    const uint32_t count = static_cast<uint32_t>(bs);
    // The window at `pos` did not match: roll on while the prefilter rules
    // every window out.
    while (pos < last) {
        uint32_t out = uint32_t(buf[pos]) + RSRollingChecksum::CHAR_OFFSET;
        uint32_t in = uint32_t(buf[pos + bs]) + RSRollingChecksum::CHAR_OFFSET;
        a += in - out;
        b += a - count * out;
        ++pos;
        if (mayMatch((a & 0xFFFF) | (b << 16))) break;
    }
    checksum.a = a;
    checksum.b = b;
    checksum.count = bs;
    return pos;
}

int DeltaHandler::update(const uint8_t* data, size_t length) {
    if (!loaded) return -1;
    if (read_buffer.size() < read_size + length) read_buffer.resize(read_size + length);
    std::memcpy(read_buffer.data() + read_size, data, length);
    read_size += length;
    ahead_count = 0;  // the buffer may have moved

    const size_t bs = block_size;
    const uint8_t* buf = read_buffer.data();
    size_t covered = checksum.count;
    if (read_size < bs) {
        checksum.update(buf + covered, read_size - covered);
        return 0;
    }
    checksum.update(buf + covered, bs - covered);

    size_t pos = 0;
    for (;;) {
        if (matchBlock(pos)) {
            pos += bs;
            size_t remain = read_size - pos;
            checksum.reset();
            if (remain < bs) {
                checksum.update(buf + pos, remain);
                break;
            }
            checksum.update(buf + pos, bs);
            continue;
        }
        // Not matched: no run is open now and literal bytes are pending.
        if (pos + bs < read_size) {
            // Roll on to the next window the prefilter lets through (or the
            // last full window); the windows skipped cannot match.
            pos = skipMismatches(pos);
            continue;
        }
        checksum.remove(buf[pos]);
        ++pos;
        break;
    }
    clearMismatch(pos);
    size_t rest = read_size - pos;
    std::memmove(read_buffer.data(), read_buffer.data() + pos, rest);
    read_size = rest;
    ahead_count = 0;
    if (write_size == 0) return 0;
    return fd_aio_write(aio, fd, write_buffer.data(), write_size);
}

int DeltaHandler::wait() {
    if (!aio.pending) return 0;
    ssize_t n = fd_aio_wait(aio);
    size_t expected = write_size;
    write_size = 0;
    return n == static_cast<ssize_t>(expected) ? 0 : -1;
}

int DeltaHandler::end() {
    int rc = wait();
    if (!fd_is_open(fd)) return -1;
    if (loaded && rc == 0) {
        clearMatch();
        if (read_size > 0) {
            uint8_t cmd[9];
            size_t n = RSConstant::encodeLiteral(read_size, cmd);
            appendWrite(cmd, n);
            appendWrite(read_buffer.data(), read_size);
            read_size = 0;
        }
        uint8_t end_cmd = RSConstant::OP_END;
        appendWrite(&end_cmd, 1);
        if (fd_write(fd, write_buffer.data(), write_size) != static_cast<ssize_t>(write_size)) rc = -1;
        write_size = 0;
    }
    fd_close(fd);
    sig_body = {};
    sig_stat = {};
    prefilter = {};
    read_buffer = {};
    write_buffer = {};
    loaded = false;
    return rc;
}
