#include "net/pooled_channel.h"

PooledChannel::PooledChannel(Connection& connection, int* abort_flag, const std::function<bool()>& stop)
    : connection_(connection) {
    if (stop) {
        borrowed_ = connection_.pop(stat_, stop);
    } else {
        stat_ = connection_.pop();
        borrowed_ = true;
    }
    if (borrowed_) channel().SetFlag(abort_flag);
}

PooledChannel::~PooledChannel() {
    if (!borrowed_) return;
    channel().SetFlag(nullptr);
    if (!kept_) stat_.setExpired();
    connection_.push(stat_);
}

void PooledChannel::markAdmitted() {
    stat_.setConnected();
    connection_.update(stat_);
}

void PooledChannel::keep(uint32_t alive_seconds) {
    stat_.setAliveInterval(alive_seconds);
    kept_ = true;
}
