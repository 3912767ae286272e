#include "session/registry.h"

void Registry::Entry::clear() {
    *this = Entry();
}

Registry& Registry::getInstance() {
    static Registry instance;
    return instance;
}

int Registry::Find(uint64_t sess_id, Entry& out) {
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return 0;
    out = it->second;
    return 1;
}

int Registry::FindNext(uint64_t sess_id, Entry& out) {
    std::lock_guard<std::mutex> guard(mutex);
    if (index.empty()) return 0;
    auto it = index.find(sess_id);
    if (it == index.end()) {
        it = index.begin();
    } else if (++it == index.end()) {
        it = index.begin();
    }
    out = it->second;
    return 1;
}

void Registry::GetAll(std::vector<Entry>& out) {
    std::lock_guard<std::mutex> guard(mutex);
    out.clear();
    out.reserve(index.size());
    for (const auto& [id, entry] : index) out.push_back(entry);
}

void Registry::Set(const Entry& e) {
    // The replaced entry is released outside the lock: its handles may be the
    // last ones and destroy a database or filter list.
    Entry old;
    {
        std::lock_guard<std::mutex> guard(mutex);
        Entry& slot = index[e.sess_id];
        old = std::move(slot);
        slot = e;
    }
}

void Registry::Update(const Entry& e) {
    Entry old;
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = index.find(e.sess_id);
        if (it == index.end()) {
            index.emplace(e.sess_id, e);
            return;
        }
        uint32_t live = it->second.recycle_time;
        old = std::move(it->second);
        it->second = e;
        it->second.recycle_time = live;
    }
}

void Registry::Remove(uint64_t sess_id) {
    Entry old;
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = index.find(sess_id);
        if (it == index.end()) return;
        old = std::move(it->second);
        index.erase(it);
    }
}

void Registry::Clear(uint64_t sess_id) {
    Remove(sess_id);
}

void Registry::Clear() {
    std::map<uint64_t, Entry> old;
    {
        std::lock_guard<std::mutex> guard(mutex);
        old.swap(index);
    }
}

size_t Registry::Size() {
    std::lock_guard<std::mutex> guard(mutex);
    return index.size();
}

void Registry::InitRecycleTime(const Entry& e, uint32_t t) {
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(e.sess_id);
    if (it == index.end()) return;
    if (it->second.recycle_time == 0 || it->second.recycle_time > t) it->second.recycle_time = t;
}

void Registry::UpdateRecycleTime(const Entry& e, uint32_t t) {
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(e.sess_id);
    if (it != index.end()) it->second.recycle_time = t;
}
