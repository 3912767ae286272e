// The nodes of the event tree. A node keeps its name and the strings of its
// event in one heap block and the rest of the event in plain fields, which
// keeps a large backlog small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <set>
#include <string_view>
#include <utility>

#include "event/event.h"
#include "event/intrusive_list.h"

struct EventTreeDir;

struct EventTreeNode {
    // Siblings, in the order the tree hands events out.
    EventTreeNode* prev = nullptr;
    EventTreeNode* next = nullptr;
    EventTreeDir* parent = nullptr;

    // name, path, hash, opt, mac_attr_hash, back to back, without terminators;
    // at first in the node's own allocation, on the heap once it outgrows it.
    char* blob = nullptr;

    uint64_t syncID = 0;
    uint64_t maxSyncID = 0;
    uint64_t sessID = 0;
    uint64_t size = 0;
    uint64_t mac_attr_size = 0;
    uint32_t hash_len = 0;
    uint32_t opt_len = 0;
    uint32_t mac_len = 0;
    uint32_t mode = 0;
    uint32_t time = 0;
    uint32_t exec_bit = 0;
    int32_t type = Event::EV_EMPTY;
    uint32_t key_hash = 0;  // cached hash of (parent, kind, name)
    uint32_t blob_cap = 0;
    uint16_t name_len = 0;
    uint16_t path_len = 0;
    uint8_t status = 0;
    bool is_dir = false;
    // Origin under which a handed-out node (PROCESSING or RETRY) is counted
    // in the reference counts of the directories above it.
    bool out_server = false;
    // Slot in the tree's cache of handed-out nodes, or kNoSlot.
    uint8_t recent_slot = 0xFF;
    bool blob_heap = false;

    EventTreeNode() = default;
    EventTreeNode(const EventTreeNode&) = delete;
    EventTreeNode& operator=(const EventTreeNode&) = delete;
    ~EventTreeNode();

    // A node of type T with room for `inline_bytes` of strings behind it.
    template <typename T>
    static T* Create(size_t inline_bytes) {
        void* mem = ::operator new(sizeof(T) + inline_bytes);
        T* n = new (mem) T;
        n->blob = static_cast<char*>(mem) + sizeof(T);
        n->blob_cap = static_cast<uint32_t>(inline_bytes);
        return n;
    }
    template <typename T>
    static void Destroy(T* n) {
        n->~T();
        ::operator delete(static_cast<void*>(n));
    }

    std::string_view name() const { return {blob, name_len}; }
    std::string_view path() const { return {blob + name_len, path_len}; }
    std::string_view hash() const { return {blob + name_len + path_len, hash_len}; }
    std::string_view opt() const { return {blob + name_len + path_len + hash_len, opt_len}; }
    std::string_view mac_attr_hash() const { return {blob + name_len + path_len + hash_len + opt_len, mac_len}; }

    bool isServer() const { return (mode & Event::F_SERVER) != 0; }
    bool hasEvent() const { return type != Event::EV_EMPTY; }

    void SetName(std::string_view name);
    // Replaces the node's event.
    void SetEvent(const Event& e);
    // Both at once, for a new node.
    void SetNameAndEvent(std::string_view name, const Event& e);
    // Replaces the strings of the event; the views may point into the blob.
    void SetStrings(std::string_view path, std::string_view hash, std::string_view opt, std::string_view mac);
    void GetEvent(Event& e) const;
    // Empties the event as the tree does when a node loses it: type, mode,
    // sync id, hash and path; the other fields keep their values.
    void ClearEvent();

private:
    void SetFields(const Event& e);
    void BuildBlob(std::string_view name, std::string_view path, std::string_view hash, std::string_view opt,
                   std::string_view mac);
};

struct EventTreeFile : EventTreeNode {
    // The files of a directory waiting to be handed out, in list order.
    EventTreeFile* wprev = nullptr;
    EventTreeFile* wnext = nullptr;
};

using EventTreeNodeList = IntrusiveList<EventTreeNode, &EventTreeNode::prev, &EventTreeNode::next>;
using EventTreeWaitList = IntrusiveList<EventTreeFile, &EventTreeFile::wprev, &EventTreeFile::wnext>;

struct EventTreeDir : EventTreeNode {
    EventTreeNodeList dirs;
    EventTreeNodeList files;
    EventTreeWaitList waiting_files;
    int refServerCount = 0;
    int refLocalCount = 0;
    int processing_files = 0;  // files directly inside in PROCESSING

    // Position among the siblings: list order is ascending `seq`.
    uint64_t seq = 0;
    // Whether a hand-out walk has anything to do in this directory: hand its
    // event out, mark it, or find something inside. Such directories are kept
    // in the parent's `active_dirs`, ordered like the list, so that the walk
    // never steps over runs of busy siblings.
    bool active = false;
    std::set<std::pair<uint64_t, EventTreeDir*>> active_dirs;

    bool hasChildren() const { return !dirs.empty() || !files.empty(); }
};
