// A channel borrowed from a connection's pool for one request, given back on
// every path out of the scope that borrowed it.
//
// On construction it pops a slot and hands the channel the borrower's own
// abort flag; on destruction it takes the flag off again (so that one task's
// pause never aborts the next borrower, and no pointer into a finished task
// stays behind) and pushes the slot back. Unless keep() recorded a
// successful exchange, the slot goes back expired and its channel closed:
// an early return or an exception costs a reconnect, never a slot that a
// reset or the pool's destructor would wait for in vain.
//
//     PooledChannel lent(connection, &abort_flag);
//     if (lent.stat().isExpired()) { ...handshake...; lent.markAdmitted(); }
//     ...request...;
//     lent.keep(alive_seconds);
#pragma once

#include <cstdint>
#include <functional>

#include "net/channel.h"
#include "net/channel_stat.h"
#include "net/connection.h"

class PooledChannel {
public:
    // Pops a slot of `connection` (blocking while none is idle). With `stop`,
    // gives up as soon as it answers true: then nothing is borrowed and
    // borrowed() is false.
    PooledChannel(Connection& connection, int* abort_flag, const std::function<bool()>& stop = {});
    ~PooledChannel();
    PooledChannel(const PooledChannel&) = delete;
    PooledChannel& operator=(const PooledChannel&) = delete;

    bool borrowed() const { return borrowed_; }
    Channel& channel() { return stat_.getChannel(); }
    const ChannelStat& stat() const { return stat_; }

    // After a successful handshake: the pool sees the slot as admitted while
    // it is lent out.
    void markAdmitted();
    // After a successful exchange: the slot goes back with the server's
    // alive time (0: closed and expired).
    void keep(uint32_t alive_seconds);

private:
    Connection& connection_;
    ChannelStat stat_;
    bool borrowed_ = false;
    bool kept_ = false;
};
