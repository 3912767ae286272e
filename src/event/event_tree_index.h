// The name index of the event tree: finds the child of a directory by kind
// (file or directory) and name in constant time. Nodes are chained through
// their own `hnext`, so the index costs one bucket pointer per node.
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
    size_t bucket_count() const { return buckets_.size(); }

private:
    static uint32_t KeyHash(const EventTreeDir* parent, bool is_dir, std::string_view name);
    void Rehash(size_t new_size);

    std::vector<EventTreeNode*> buckets_;
    size_t count_ = 0;
};
