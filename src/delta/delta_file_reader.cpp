#include "delta/delta_file_reader.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "delta/diag.h"
#include "delta/rs_constant.h"
#include "delta/xio.h"

struct DeltaFileReaderImpl {
    ustring patch_file;
    ustring basis_file;
    ustring rpatch_file;
    fd_t patch_fd;
    fd_bio_t patch_bio;
    uint64_t patch_offset = 0;
    uint64_t patch_size = 0;
    fd_t basis_fd;
    uint64_t basis_size = 0;
    uint64_t basis_pos = 0;  // the basis descriptor's file position
    fd_t rpatch_fd;
    fd_bio_t rpatch_bio;
    uint64_t new_offset = 0;    // bytes of the new file produced so far
    std::vector<Block> copies;  // recorded for the reverse delta
    bool complete = false;
};

namespace {

enum CommandResult { COMMAND_END = 0, COMMAND_OK = 1, COMMAND_FAILED = -1 };

// Reads exactly `length` bytes at the descriptor's position.
bool read_exact(fd_t& fd, uint8_t* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = fd_read(fd, data + got, length - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

DeltaFileReader::DeltaFileReader() : impl(new DeltaFileReaderImpl) {}

DeltaFileReader::~DeltaFileReader() {
    closeFiles();
}

void DeltaFileReader::setFile(const ustring& patch_file, const ustring& basis_file) {
    impl->patch_file = patch_file;
    impl->basis_file = basis_file;
}

void DeltaFileReader::setReverseDeltaFile(const ustring& file) {
    impl->rpatch_file = file;
}

bool DeltaFileReader::isComplete() const {
    return impl->complete;
}

void DeltaFileReader::closeFiles() {
    fd_bio_unload(impl->patch_bio);
    fd_bio_unload(impl->rpatch_bio);
    fd_close(impl->patch_fd);
    fd_close(impl->basis_fd);
    fd_close(impl->rpatch_fd);
}

int DeltaFileReader::validateInput() {
    if (fd_open_read(impl->patch_file, impl->patch_fd) != 0) return ERROR_SYSTEM_CALL;
    if (fd_open_read(impl->basis_file, impl->basis_fd) != 0) return ERROR_SYSTEM_CALL;
    if (fd_stat(impl->patch_fd, impl->patch_size) != 0 || fd_stat(impl->basis_fd, impl->basis_size) != 0)
        return ERROR_SYSTEM_CALL;
    impl->basis_pos = 0;
    fd_bio_load(impl->patch_bio, impl->patch_fd, CHUNK_SIZE);
    uint8_t magic[4];
    if (fd_bio_read(impl->patch_bio, magic, 4) != 0) {
        DELTA_DIAG("cannot read the patch magic");
        return ERROR_SYSTEM_CALL;
    }
    impl->patch_offset = 4;
    uint32_t value = rs_get_be32(magic);
    if (value != RSConstant::MAGIC_DELTA) {
        DELTA_DIAG("invalid patch file (%x)", value);
        return ERROR_FILE_FORMAT;
    }
    return SUCCESS;
}

int DeltaFileReader::readPatchCommand(PatchCommand& cmd) {
    uint8_t op;
    if (fd_bio_read(impl->patch_bio, &op, 1) != 0) {
        DELTA_DIAG("expect command byte");
        return COMMAND_FAILED;
    }
    impl->patch_offset += 1;
    const RSConstant::CmdInfo& info = RSConstant::getInfo(op);
    uint64_t param[2] = {info.immediate, 0};
    const uint8_t widths[2] = {info.len_1, info.len_2};
    for (int i = 0; i < 2; ++i) {
        if (widths[i] == 0) continue;
        uint8_t bytes[8];
        if (fd_bio_read(impl->patch_bio, bytes, widths[i]) != 0) {
            DELTA_DIAG("expect parameter %d with %u bytes", i + 1, static_cast<unsigned>(widths[i]));
            return COMMAND_FAILED;
        }
        impl->patch_offset += widths[i];
        param[i] = rs_get_be(bytes, widths[i]);
    }
    switch (info.type) {
        case RSConstant::TYPE_END:
            return COMMAND_END;
        case RSConstant::TYPE_LITERAL:
            cmd = {impl->patch_offset, param[0], true};
            return COMMAND_OK;
        case RSConstant::TYPE_COPY:
            cmd = {param[0], param[1], false};
            return COMMAND_OK;
        default:
            DELTA_DIAG("unexpected kind: %u", static_cast<unsigned>(op));
            return COMMAND_FAILED;
    }
}

// 0, -1 when the command cannot be carried out (the patch stops there),
// ERROR_HANDLER_CALL when an output could not take the bytes, or ERROR_ABORT.
int DeltaFileReader::doPatchCommand(const PatchCommand& cmd, uint8_t* work) {
    DeltaFileReaderImpl& d = *impl;
    if (cmd.is_literal) {
        if (cmd.length > d.patch_size - std::min(d.patch_size, d.patch_offset)) {
            DELTA_DIAG("literal of %llu bytes at offset %llu runs past the end of the patch (%llu bytes)",
                       static_cast<unsigned long long>(cmd.length), static_cast<unsigned long long>(d.patch_offset),
                       static_cast<unsigned long long>(d.patch_size));
            return -1;
        }
    } else {
        if (cmd.length > d.basis_size || cmd.start > d.basis_size - cmd.length) {
            DELTA_DIAG("copy of %llu bytes at offset %llu runs past the end of the basis (%llu bytes)",
                       static_cast<unsigned long long>(cmd.length), static_cast<unsigned long long>(cmd.start),
                       static_cast<unsigned long long>(d.basis_size));
            return -1;
        }
        if (cmd.length > 0 && d.basis_pos != cmd.start) {
            if (fd_seek(d.basis_fd, cmd.start) != 0) {
                DELTA_DIAG("fd_seek: offset = %llu", static_cast<unsigned long long>(cmd.start));
                return -1;
            }
            d.basis_pos = cmd.start;
        }
        if (cmd.length > 0 && !d.rpatch_file.empty()) d.copies.push_back({cmd.start, cmd.length, d.new_offset});
    }
    uint64_t left = cmd.length;
    while (left > 0) {
        if (isAborted()) return ERROR_ABORT;
        size_t piece = static_cast<size_t>(std::min<uint64_t>(left, CHUNK_SIZE));
        if (cmd.is_literal) {
            if (fd_bio_read(d.patch_bio, work, piece) != 0) {
                DELTA_DIAG("expect %zu literal bytes at offset %llu", piece,
                           static_cast<unsigned long long>(d.patch_offset));
                return -1;
            }
            d.patch_offset += piece;
        } else {
            if (!read_exact(d.basis_fd, work, piece)) {
                DELTA_DIAG("short read of the basis at offset %llu", static_cast<unsigned long long>(d.basis_pos));
                d.basis_pos = UINT64_MAX;  // unknown now
                return -1;
            }
            d.basis_pos += piece;
        }
        int updated = update(work, piece);
        int waited = wait();
        if (updated != SUCCESS || waited != SUCCESS) return ERROR_HANDLER_CALL;
        d.new_offset += piece;
        left -= piece;
    }
    return 0;
}

int DeltaFileReader::readFile() {
    DeltaFileReaderImpl& d = *impl;
    d.complete = false;
    d.patch_offset = 0;
    d.new_offset = 0;
    d.copies.clear();
    if (d.basis_file.empty() || d.patch_file.empty()) {
        DELTA_DIAG("invalid arguments (basis_file = '%s', patch_file = '%s'", d.basis_file.c_str(),
                   d.patch_file.c_str());
        return ERROR_ARGUMENT;
    }
    int rc = begin();
    uint8_t* work = nullptr;
    if (rc == SUCCESS) rc = validateInput();
    if (rc == SUCCESS) {
        work = static_cast<uint8_t*>(std::malloc(CHUNK_SIZE));
        if (!work) {
            DELTA_DIAG("cannot allocate a work buffer");
            rc = ERROR_SYSTEM_CALL;
        }
    }
    if (rc == SUCCESS) {
        for (;;) {
            if (isAborted()) {
                rc = ERROR_ABORT;
                break;
            }
            PatchCommand cmd;
            int got = readPatchCommand(cmd);
            if (got == COMMAND_END) {
                d.complete = true;
                break;
            }
            if (got != COMMAND_OK) break;
            int done = doPatchCommand(cmd, work);
            if (done == ERROR_ABORT || done == ERROR_HANDLER_CALL) {
                rc = done;
                break;
            }
            if (done != 0) break;
        }
        if (rc == SUCCESS && !d.rpatch_file.empty() && writeReverseDelta(work) != 0) rc = ERROR_SYSTEM_CALL;
    }
    // The handlers write their last bytes here: a failure now leaves the new
    // file or its signature incomplete and must not pass for success.
    if (end() != SUCCESS && rc == SUCCESS) rc = ERROR_HANDLER_CALL;
    closeFiles();
    std::free(work);
    d.copies = {};
    return rc;
}

int DeltaFileReader::writeReverseDelta(uint8_t* work) {
    DeltaFileReaderImpl& d = *impl;
    if (fd_open_write(d.rpatch_file, d.rpatch_fd) != 0) return -1;
    fd_bio_load(d.rpatch_bio, d.rpatch_fd, CHUNK_SIZE);

    // Order by basis offset, the longer of two equal starts first, then keep
    // only the part of each block that no earlier block covers.
    std::sort(d.copies.begin(), d.copies.end(), [](const Block& x, const Block& y) {
        return x.start != y.start ? x.start < y.start : x.length > y.length;
    });
    std::vector<Block> kept;
    uint64_t covered = 0;
    for (Block b : d.copies) {
        uint64_t stop = b.start + b.length;
        if (stop <= covered) continue;
        if (b.start < covered) {
            uint64_t cut = covered - b.start;
            b.start += cut;
            b.length -= cut;
            b.new_start += cut;
        }
        kept.push_back(b);
        covered = stop;
    }

    auto write_cmd = [&](const uint8_t* cmd, size_t n) { return fd_bio_write(d.rpatch_bio, cmd, n) == 0; };
    // A literal of the basis bytes [from, to).
    auto write_basis_literal = [&](uint64_t from, uint64_t to) {
        if (to <= from) return true;
        uint8_t cmd[9];
        if (!write_cmd(cmd, RSConstant::encodeLiteral(to - from, cmd))) return false;
        if (fd_seek(d.basis_fd, from) != 0) return false;
        d.basis_pos = UINT64_MAX;
        for (uint64_t left = to - from; left > 0;) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(left, CHUNK_SIZE));
            if (!read_exact(d.basis_fd, work, piece)) {
                DELTA_DIAG("short read of the basis");
                return false;
            }
            if (fd_bio_write(d.rpatch_bio, work, piece) != 0) return false;
            left -= piece;
        }
        return true;
    };

    uint8_t cmd[17];
    rs_put_be(cmd, RSConstant::MAGIC_DELTA, 4);
    if (!write_cmd(cmd, 4)) return -1;
    uint64_t pos = 0;
    for (const Block& b : kept) {
        if (!write_basis_literal(pos, b.start)) return -1;
        if (!write_cmd(cmd, RSConstant::encodeCopy(b.new_start, b.length, cmd))) return -1;
        pos = b.start + b.length;
    }
    if (!write_basis_literal(pos, d.basis_size)) return -1;
    cmd[0] = RSConstant::OP_END;
    if (!write_cmd(cmd, 1)) return -1;
    if (fd_bio_flush(d.rpatch_bio) != 0) return -1;
    fd_bio_unload(d.rpatch_bio);
    fd_close(d.rpatch_fd);
    return 0;
}
