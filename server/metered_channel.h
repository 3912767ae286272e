// The server's end of a connection: a channel that counts the bytes it
// hands over and can be told to cut the connection after a number of them
// (fault injection). Every typed read and write of Channel goes through the
// two overridden calls, so the count is exact in plain and in TLS mode (it
// counts the protocol's bytes, not the TLS records).
#pragma once

#include <cstdint>

#include "net/channel.h"

namespace tw_server {

class MeteredChannel : public Channel {
public:
    using Channel::Channel;

    // Bytes that may still be read (or written) before the connection is
    // closed; -1: no limit. The read that reaches the limit delivers the
    // bytes up to it, then fails with ERR_IO; a write flushes what fits first.
    void SetReadBudget(int64_t bytes) { read_budget_ = bytes; }
    void SetWriteBudget(int64_t bytes) { write_budget_ = bytes; }

    uint64_t bytes_read() const { return bytes_read_; }
    uint64_t bytes_written() const { return bytes_written_; }
    // Whether a budget has cut the connection.
    bool was_cut() const { return cut_; }

    using Channel::Read;
    int Read(char* buf, size_t len, size_t& total) override;
    int Write(const char* buf, size_t len) override;

private:
    int Cut();

    int64_t read_budget_ = -1;
    int64_t write_budget_ = -1;
    uint64_t bytes_read_ = 0;
    uint64_t bytes_written_ = 0;
    bool cut_ = false;
};

}  // namespace tw_server
