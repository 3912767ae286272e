#include "net/channel_stat.h"

#include <atomic>
#include <ctime>

#include "net/bad_channel.h"
#include "net/channel.h"

namespace {

std::atomic<ChannelStat::ClockFn> g_clock{nullptr};

}  // namespace

Channel& ChannelStat::getChannel() const {
    return channel != nullptr ? *channel : BadChannel::getInstance();
}

void ChannelStat::setExpired() {
    expire = kExpired;
    if (channel != nullptr) channel->Close();
}

void ChannelStat::setAliveInterval(uint32_t seconds) {
    if (seconds == 0) {
        setExpired();
        return;
    }
    // A promise that reaches past the representable range keeps the slot
    // as long as a time can say; it must not wrap into the past or land on
    // one of the markers.
    uint64_t until = uint64_t{Now()} + seconds;
    if (until >= kExpired) until = kExpired - 1;
    expire = static_cast<uint32_t>(until);
    if (expire == kConnected) ++expire;
}

bool ChannelStat::isExpired() const {
    return expire == kExpired || Now() > expire;
}

uint32_t ChannelStat::Now() {
    ClockFn clock = g_clock.load(std::memory_order_acquire);
    if (clock != nullptr) return clock();
    return static_cast<uint32_t>(std::time(nullptr));
}

void ChannelStat::SetClockForTesting(ClockFn clock) {
    g_clock.store(clock, std::memory_order_release);
}
