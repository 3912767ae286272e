#include "net/channel_pool.h"

#include <algorithm>
#include <chrono>

#include "base/logger.h"
#include "net/route_channel.h"

namespace {

const char* const kComponent = "connection_debug";

}  // namespace

ChannelPool::ChannelPool(size_t size, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
    reset(size, proxy, tunnel);
}

ChannelPool::~ChannelPool() {
    reset(0, nullptr, nullptr);
}

bool ChannelPool::WaitForIdleSlot(std::unique_lock<std::mutex>& lk, const std::function<bool()>* stop) {
    for (;;) {
        if (stop != nullptr && (*stop)()) return false;
        std::condition_variable* signal = nullptr;
        if (freeze_mode) {
            signal = &freeze_signal;
        } else if (ready_q.empty()) {
            signal = &return_signal;
        } else {
            return true;
        }
        if (stop != nullptr) {
            signal->wait_for(lk, std::chrono::seconds(1));
        } else {
            signal->wait(lk);
        }
    }
}

ChannelStat ChannelPool::TakeTop() {
    std::pop_heap(ready_q.begin(), ready_q.end());
    ChannelStat slot = ready_q.back();
    ready_q.pop_back();
    in_use_q.push_back(slot);
    return slot;
}

ChannelStat ChannelPool::pop() {
    std::unique_lock<std::mutex> lk(lock);
    WaitForIdleSlot(lk, nullptr);
    return TakeTop();
}

bool ChannelPool::pop(ChannelStat& slot, const std::function<bool()>& stop) {
    std::unique_lock<std::mutex> lk(lock);
    if (!WaitForIdleSlot(lk, stop ? &stop : nullptr)) return false;
    slot = TakeTop();
    return true;
}

std::list<ChannelStat>::iterator ChannelPool::FindLent(const ChannelStat& slot) {
    return std::find_if(in_use_q.begin(), in_use_q.end(), [&](const ChannelStat& lent) {
        return lent.channel == slot.channel && lent.generation == slot.generation;
    });
}

void ChannelPool::push(const ChannelStat& slot) {
    {
        std::lock_guard<std::mutex> lk(lock);
        auto it = FindLent(slot);
        if (it == in_use_q.end()) return;
        it->expire = slot.expire;
        ready_q.push_back(*it);
        std::push_heap(ready_q.begin(), ready_q.end());
        in_use_q.erase(it);
    }
    // Poppers and a waiting reset share this condition; each must see it.
    return_signal.notify_all();
}

int ChannelPool::update(const ChannelStat& slot) {
    std::lock_guard<std::mutex> lk(lock);
    auto it = FindLent(slot);
    if (it != in_use_q.end()) it->expire = slot.expire;
    return 0;
}

void ChannelPool::reset(size_t size, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
    TW_INFO(kComponent, "reset channel pool with capacity %zu\n", size);
    std::unique_lock<std::mutex> lk(lock);
    // Another reset first: its freeze is not ours to end.
    while (freeze_mode) freeze_signal.wait(lk);
    freeze_mode = true;
    while (ready_q.size() < total_size) return_signal.wait(lk);

    for (ChannelStat& slot : ready_q) slot.channel->Close();
    ready_q.clear();
    owned.clear();

    ++generation;
    total_size = size;
    for (size_t i = 0; i < size; ++i) {
        owned.push_back(MakeRouteChannel(proxy, tunnel));
        ChannelStat slot;
        slot.channel = owned.back().get();
        slot.generation = generation;
        ready_q.push_back(slot);
    }
    // All slots are expired, so any order is a heap.
    freeze_mode = false;
    lk.unlock();
    freeze_signal.notify_all();
    return_signal.notify_all();
}

bool ChannelPool::isConnected2() {
    std::lock_guard<std::mutex> lk(lock);
    if (!ready_q.empty() && ready_q.front().expire != ChannelStat::kExpired) return true;
    return std::any_of(in_use_q.begin(), in_use_q.end(),
                       [](const ChannelStat& slot) { return slot.expire != ChannelStat::kExpired; });
}

size_t ChannelPool::idleCount() {
    std::lock_guard<std::mutex> lk(lock);
    return ready_q.size();
}

size_t ChannelPool::inUseCount() {
    std::lock_guard<std::mutex> lk(lock);
    return in_use_q.size();
}

size_t ChannelPool::totalSize() {
    std::lock_guard<std::mutex> lk(lock);
    return total_size;
}
