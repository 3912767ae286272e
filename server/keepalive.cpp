#include "server/keepalive.h"

#include <vector>

#include "stream/pstream.h"
#include "value/pobject.h"

namespace tw_server {

KeepAliveScheduler::KeepAliveScheduler(uint32_t interval_seconds)
    : interval_(interval_seconds == 0 ? 1 : interval_seconds), thread_([this] { Run(); }) {}

KeepAliveScheduler::~KeepAliveScheduler() {
    {
        std::lock_guard<std::mutex> guard(list_lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

uint64_t KeepAliveScheduler::Register(Channel& ch) {
    auto busy = std::make_shared<Busy>();
    busy->ch = &ch;
    busy->due = std::chrono::steady_clock::now() + interval_;
    std::lock_guard<std::mutex> guard(list_lock_);
    uint64_t id = next_id_++;
    busy_[id] = std::move(busy);
    return id;
}

void KeepAliveScheduler::Unregister(uint64_t id, uint32_t* sent, bool* failed) {
    std::shared_ptr<Busy> busy;
    {
        std::lock_guard<std::mutex> guard(list_lock_);
        auto it = busy_.find(id);
        if (it == busy_.end()) return;
        busy = it->second;
        busy_.erase(it);
    }
    // Waits for a notice being written right now.
    std::lock_guard<std::mutex> guard(busy->lock);
    busy->active = false;
    if (sent) *sent = busy->sent;
    if (failed) *failed = busy->failed;
}

void KeepAliveScheduler::Run() {
    PObject notice;
    notice["type"] = "keep_alive";
    PStream stream;
    std::unique_lock<std::mutex> list(list_lock_);
    while (!stop_) {
        auto now = std::chrono::steady_clock::now();
        std::vector<std::shared_ptr<Busy>> due;
        auto next = now + interval_;
        for (auto& [id, busy] : busy_) {
            if (busy->due <= now)
                due.push_back(busy);
            else if (busy->due < next)
                next = busy->due;
        }
        if (due.empty()) {
            wake_.wait_until(list, next);
            continue;
        }
        list.unlock();
        for (auto& busy : due) {
            std::lock_guard<std::mutex> guard(busy->lock);
            if (!busy->active || busy->failed) continue;
            if (stream.Send(*busy->ch, notice) != 0) busy->failed = true;
            ++busy->sent;
        }
        list.lock();
        // A failed channel gets no further notices; its owner finds out at
        // Unregister.
        auto later = std::chrono::steady_clock::now() + interval_;
        for (auto& busy : due) busy->due = later;
    }
}

}  // namespace tw_server
