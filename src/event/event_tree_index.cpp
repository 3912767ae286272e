#include "event/event_tree_index.h"

#include <cstdint>
#include <functional>

namespace {
constexpr size_t kMinBuckets = 64;
}

uint32_t EventTreeIndex::KeyHash(const EventTreeDir* parent, bool is_dir, std::string_view name) {
    uint64_t h = std::hash<std::string_view>()(name);
    h ^= reinterpret_cast<uintptr_t>(parent) * 0x9E3779B97F4A7C15ULL;
    h ^= is_dir ? 0x5851F42D4C957F2DULL : 0;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

EventTreeNode* EventTreeIndex::Find(const EventTreeDir* parent, bool is_dir, std::string_view name) const {
    if (buckets_.empty()) return nullptr;
    const uint32_t h = KeyHash(parent, is_dir, name);
    for (EventTreeNode* n = buckets_[h & (buckets_.size() - 1)]; n; n = n->hnext) {
        if (n->key_hash == h && n->parent == parent && n->is_dir == is_dir && n->name() == name) return n;
    }
    return nullptr;
}

void EventTreeIndex::Insert(EventTreeNode* n) {
    if (count_ + 1 > buckets_.size()) Rehash(buckets_.empty() ? kMinBuckets : buckets_.size() * 2);
    n->key_hash = KeyHash(n->parent, n->is_dir, n->name());
    EventTreeNode*& head = buckets_[n->key_hash & (buckets_.size() - 1)];
    n->hnext = head;
    head = n;
    ++count_;
}

void EventTreeIndex::Erase(EventTreeNode* n) {
    if (buckets_.empty()) return;
    EventTreeNode** link = &buckets_[n->key_hash & (buckets_.size() - 1)];
    while (*link && *link != n) link = &(*link)->hnext;
    if (!*link) return;
    *link = n->hnext;
    n->hnext = nullptr;
    --count_;
    // Give the memory of a drained backlog back.
    if (buckets_.size() > kMinBuckets && count_ < buckets_.size() / 8) Rehash(buckets_.size() / 4);
}

void EventTreeIndex::Reset() {
    std::vector<EventTreeNode*>().swap(buckets_);
    count_ = 0;
}

void EventTreeIndex::Rehash(size_t new_size) {
    if (new_size < kMinBuckets) new_size = kMinBuckets;
    std::vector<EventTreeNode*> fresh(new_size, nullptr);
    for (EventTreeNode* head : buckets_) {
        while (head) {
            EventTreeNode* next = head->hnext;
            EventTreeNode*& slot = fresh[head->key_hash & (new_size - 1)];
            head->hnext = slot;
            slot = head;
            head = next;
        }
    }
    buckets_.swap(fresh);
}
