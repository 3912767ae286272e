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
    if (slots_.empty()) return nullptr;
    const uint32_t h = KeyHash(parent, is_dir, name);
    const size_t mask = slots_.size() - 1;
    for (size_t i = h & mask; slots_[i].node; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.hash == h && s.node->parent == parent && s.node->is_dir == is_dir && s.node->name() == name)
            return s.node;
    }
    return nullptr;
}

void EventTreeIndex::Place(const Slot& slot) {
    const size_t mask = slots_.size() - 1;
    size_t i = slot.hash & mask;
    while (slots_[i].node) i = (i + 1) & mask;
    slots_[i] = slot;
}

void EventTreeIndex::Insert(EventTreeNode* n) {
    if ((count_ + 1) * 2 > slots_.size()) Rehash(slots_.empty() ? kMinBuckets : slots_.size() * 2);
    n->key_hash = KeyHash(n->parent, n->is_dir, n->name());
    Place(Slot{n->key_hash, n});
    ++count_;
}

void EventTreeIndex::Erase(EventTreeNode* n) {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    size_t i = n->key_hash & mask;
    while (slots_[i].node && slots_[i].node != n) i = (i + 1) & mask;
    if (!slots_[i].node) return;
    // Backward-shift deletion: pull later members of the probe run into the
    // hole wherever their home slot allows, so no tombstones build up.
    for (size_t j = i;;) {
        j = (j + 1) & mask;
        if (!slots_[j].node) break;
        size_t home = slots_[j].hash & mask;
        bool stays = (i <= j) ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = Slot{};
    --count_;
    // Give the memory of a drained backlog back.
    if (slots_.size() > kMinBuckets && count_ < slots_.size() / 8) Rehash(slots_.size() / 4);
}

void EventTreeIndex::Reset() {
    std::vector<Slot>().swap(slots_);
    count_ = 0;
}

void EventTreeIndex::Rehash(size_t new_size) {
    if (new_size < kMinBuckets) new_size = kMinBuckets;
    std::vector<Slot> old(new_size);
    old.swap(slots_);
    for (const Slot& s : old)
        if (s.node) Place(s);
}
