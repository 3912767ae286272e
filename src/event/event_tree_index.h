// The name index of the event tree: finds the child of a directory by kind
// (file or directory) and name in constant time. An open-addressing table of
// (hash, node) slots, at most half full: a look-up for a new name, and every
// growth of the table, run over the slots alone without touching the nodes,
// which keeps a backlog of millions of events out of the cache misses.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "event/event_tree_node.h"

class EventTreeIndex {
public:
    EventTreeNode* Find(const EventTreeDir* parent, bool is_dir, std::string_view name) const;
    // Indexes `n` under its parent, kind and name (which must be set).
    void Insert(EventTreeNode* n);
    void Erase(EventTreeNode* n);
    void Reset();
    size_t size() const { return count_; }
    size_t bucket_count() const { return slots_.size(); }

private:
    struct Slot {
        uint32_t hash = 0;
        EventTreeNode* node = nullptr;  // null: empty
    };

    static uint32_t KeyHash(const EventTreeDir* parent, bool is_dir, std::string_view name);
    void Place(const Slot& slot);
    void Rehash(size_t new_size);

    std::vector<Slot> slots_;
    size_t count_ = 0;
};
