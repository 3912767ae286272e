// The channels of one connection, built once for the connection's route and
// lent to one task at a time.
//
// A task pops a slot (blocking while every channel is lent out or a reset
// runs), admits the channel to the server when the slot is expired, runs
// its request and pushes the slot back with the server's alive time. A
// reset replaces every channel once all of them have come back, so that
// tasks reconnect with new settings; the destructor is a reset to nothing.
//
// Thread safety: every member function may be called from any thread; all
// state is guarded by `lock`. A thread must push back what it popped before
// it waits for anything that a reset may be holding up (see
// ConnectionManager for the lock order).
//
// Invariants, while no reset runs:
//   1. ready_q.size() + in_use_q.size() == total_size == owned.size(), and
//      every slot of ready_q and in_use_q names a distinct channel of
//      `owned` with generation == `generation`.
//   2. ready_q is a heap under ChannelStat::operator<: its top is the idle
//      slot whose expiry comes first (admitted before expired).
// A push that names no slot of in_use_q (a channel of an earlier
// generation, a foreign channel, a second push of the same slot) changes
// nothing, which keeps 1 true whatever the callers do.
//
// Waits: poppers wait on return_signal (a slot came back) and on
// freeze_signal (a reset ended); a reset waits on return_signal for all its
// channels. Both conditions are shared by several kinds of waiter, so every
// change that could end a wait is broadcast and every wait re-tests its
// predicate: a single wake-up taken by a popper that then parks on the
// freeze would leave the reset asleep for good.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "net/channel.h"
#include "net/channel_stat.h"
#include "net/connection_info.h"

class ChannelPool {
public:
    // `size` channels for the route given by `proxy` and `tunnel` (null: not
    // on the route).
    ChannelPool(size_t size, const ProxyInfo* proxy, const TunnelInfo* tunnel);
    // Waits until every channel is back, then destroys them.
    ~ChannelPool();
    ChannelPool(const ChannelPool&) = delete;
    ChannelPool& operator=(const ChannelPool&) = delete;

    // Takes the idle slot whose expiry comes first; blocks while none is
    // idle or a reset runs.
    ChannelStat pop();
    // The same, but gives up (false, `slot` untouched) as soon as `stop`
    // answers true; `stop` is asked at least once a second while waiting.
    bool pop(ChannelStat& slot, const std::function<bool()>& stop);
    // Returns a popped slot with its current expiry. Ignored unless the slot
    // is lent out from this generation of channels.
    void push(const ChannelStat& slot);
    // Records the expiry of a slot that is still lent out (after its
    // handshake), so that isConnected2 sees it; ignored like push. Always 0.
    int update(const ChannelStat& slot);
    // Waits until every channel is back, destroys them and builds `size`
    // expired ones for the given route. Concurrent resets run one after the
    // other.
    void reset(size_t size, const ProxyInfo* proxy, const TunnelInfo* tunnel);
    // Whether some slot, idle or lent out, is admitted. The clock is not
    // consulted: a slot whose alive time has passed counts until it is next
    // used.
    bool isConnected2();

    // Counts for status reports and tests.
    size_t idleCount();
    size_t inUseCount();
    size_t totalSize();

private:
    // REQUIRES: `lock` held by `lk`. Blocks as pop does; false when `stop`
    // (if given) answered true.
    bool WaitForIdleSlot(std::unique_lock<std::mutex>& lk, const std::function<bool()>* stop);
    ChannelStat TakeTop();
    std::list<ChannelStat>::iterator FindLent(const ChannelStat& slot);

    std::mutex lock;  // guards every member below; taken after ConnectionManager's lock
    std::condition_variable return_signal;  // a slot came back, or a reset ended
    std::condition_variable freeze_signal;  // a reset ended
    bool freeze_mode = false;               // a reset is waiting for channels or rebuilding
    size_t total_size = 0;
    uint64_t generation = 0;  // incremented by every reset
    std::vector<ChannelStat> ready_q;  // heap of idle slots
    std::list<ChannelStat> in_use_q;   // lent-out slots with their current expiry
    std::vector<std::unique_ptr<Channel>> owned;
};
