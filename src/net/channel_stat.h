// One slot of a connection's channel pool, as handed out by `pop` and given
// back by `push`: the channel and the time until which the server keeps it
// admitted.
//
// `expire` holds one of three kinds of value:
//   kExpired (0xFFFFFFFF)  the channel is closed or unusable; its next user
//                          must open it and run the handshake;
//   kConnected (31536000)  admitted and in use, the alive time not yet known;
//   anything else          the absolute time (seconds since 1970) until which
//                          the channel may be used without a new handshake.
// kConnected lies in 1971, so a slot in that state counts as expired for
// isExpired(): the user sets the real alive time before pushing it back.
//
// `generation` names the pool reset that created the channel. A reset frees
// the old channels and may allocate new ones at the same addresses, so the
// pool matches a returned slot by channel and generation, never by address
// alone.
#pragma once

#include <cstdint>

class Channel;

struct ChannelStat {
    static constexpr uint32_t kExpired = 0xFFFFFFFF;
    static constexpr uint32_t kConnected = 31536000;

    uint32_t expire = kExpired;
    Channel* channel = nullptr;  // null only in the empty slot of a connection without a pool
    uint64_t generation = 0;

    // The slot's channel, or the process-wide BadChannel when it has none.
    Channel& getChannel() const;
    // Closes the channel (if any) and marks the slot expired.
    void setExpired();
    void setConnected() { expire = kConnected; }
    // seconds > 0: usable until now + seconds; 0: the server closes the
    // channel, so it is closed here and the slot expired.
    void setAliveInterval(uint32_t seconds);
    // kExpired, or now past `expire`.
    bool isExpired() const;

    // The heap order of the pool's idle slots: a slot is "less" when its
    // expiry is later, so the top of a max-heap is the slot that ends first,
    // admitted channels before expired ones.
    bool operator<(const ChannelStat& other) const { return expire > other.expire; }

    // Seconds since 1970 as the slots see them. Tests replace the clock to
    // step through alive times; null restores the system clock. Set it
    // before other threads use slots.
    using ClockFn = uint32_t (*)();
    static uint32_t Now();
    static void SetClockForTesting(ClockFn clock);
};
