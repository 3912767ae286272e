// The pending events of one session, held as a tree that mirrors the
// session's directories: one node per path with a pending (or processing)
// event plus the directories needed to reach it.
//
// Every new event is merged with the one pending on the same path (the policy
// is event/event_merge.h); Pop hands out the next runnable event so that a
// directory's event never runs together with events inside that directory,
// and nothing runs while the root's event is out. Handed-out nodes stay
// PROCESSING until DoneEvent or Redo; a node merged into while processing
// becomes RETRY and is handed out again only by Pop(path).
//
// Children are kept in insertion order (Redo moves a node and its ancestors
// to the back); a name index finds a child in constant time, and each
// directory knows which of its sub-directories a hand-out walk has anything
// to do in, so Pop does not step over runs of busy nodes.
//
// The implementation is split by concern: event_list2.cpp (construction,
// counters, push and merge), event_list2_nodes.cpp (node storage, the index,
// the cache of handed-out nodes, the active sets), event_list2_prune.cpp
// (drops under a directory removal), event_list2_handout.cpp (Pop),
// event_list2_done.cpp (DoneEvent, Redo), event_list2_diag.cpp (log walk,
// printing, snapshot, CheckInvariants).
//
// Thread safety
//   `mutex` guards every node and everything reached from `root` (statuses,
//   events, reference counts, the waiting and active sets), the name index,
//   the cache of handed-out nodes, `next_seq_`, `watch_path` and the
//   file-status remover. Every public operation that touches nodes holds it
//   from start to end, so a merge, a hand-out or a done is atomic.
//   `mutex_count` guards the two event counters only, so that IsEmpty and
//   the counter reads never wait for a tree operation.
//   Lock order: `mutex`, then `mutex_count`. Callers above (the event
//   manager) take their own locks before `mutex`; the tree never calls back
//   into them. The file-status remover runs under `mutex` and must not call
//   back into the tree.
//
// Invariants (CheckInvariants verifies each of them)
//   1. Counters: server_event_count and local_event_count are the numbers of
//      nodes whose status is not DONE, by the origin (F_SERVER) of the event
//      each holds.
//   2. Events: a node holds an event exactly when its status is not DONE. A
//      file node is never DONE (a finished or dropped file is freed); a DONE
//      directory other than the root is structural and has children (it is
//      pruned when its last child goes).
//   3. Reference counts: a directory's refServerCount and refLocalCount are
//      the numbers of handed-out nodes (PROCESSING or RETRY) strictly inside
//      its sub-tree, by the origin each was handed out with (`out_server`);
//      the root also counts its own handed-out event. A RETRY node stays
//      counted until it is done or redone, so that its directory cannot run
//      while a worker still holds the path.
//   4. Waiting and processing sets: a directory's `waiting_files` lists
//      exactly its WAITING files, in list order; `processing_files` is the
//      number of its PROCESSING files.
//   5. Active sub-directories: a directory other than the root is in its
//      parent's `active_dirs` exactly when its `active` flag is set, and the
//      flag is what IsActive says of it now. Sibling lists are in ascending
//      `seq`, the order `active_dirs` walks.
//   6. Index and links: every node below the root is found in the name index
//      under (parent, kind, name), sibling names are unique per kind, every
//      child's `parent` is the directory whose list holds it, and the cache
//      of handed-out nodes points only at live nodes that know their slot.
//   7. Paths: the event a node holds names exactly that node's path (Push
//      stores only paths that pass the shared event-path check, so there is
//      one spelling per item).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/ustring.h"
#include "event/event.h"
#include "event/event_tree_index.h"
#include "event/event_tree_node.h"

class EventList2 {
public:
    enum Status { WAITING = 0, PROCESSING = 1, DONE = 2, RETRY = 3 };

    enum {
        F_DIR = Event::F_DIR,
        F_SERVER = Event::F_SERVER,
        F_EXPAND = Event::F_EXPAND,
        F_RESCAN = Event::F_RESCAN,
        F_MERGE = Event::F_MERGE,
        F_EXCEP = Event::F_EXCEP,
        F_LOCAL_SUBDIR_RESCAN = Event::F_LOCAL_SUBDIR_RESCAN,
        F_SERVER_SUBDIR_RESCAN = Event::F_SERVER_SUBDIR_RESCAN,
        F_LOCAL_SUBDIR_RESCAN_STAT = Event::F_LOCAL_SUBDIR_RESCAN_STAT,
        F_SERVER_SUBDIR_RESCAN_STAT = Event::F_SERVER_SUBDIR_RESCAN_STAT,
        F_CONFLICT = Event::F_CONFLICT,
        F_FORCE = 2048,
    };

    // The event content as the tree describes it.
    struct Attribute {
        Event::Type type = Event::EV_EMPTY;
        uint32_t mode = 0;
        uint64_t syncID = 0;
        uint64_t maxSyncID = 0;
        uint64_t sessID = 0;
        ustring hash;
        ustring path;
        ustring opt;
        ustring mac_attr_hash;
        uint64_t size = 0;
        uint64_t mac_attr_size = 0;
        uint32_t time = 0;
        uint64_t nodeID = 0;
        uint32_t exec_bit = 0;
    };

    // Removes the file-status entry of a dropped event; given the session
    // folder followed by the event path. Nonzero means failure (logged).
    using FileStatusRemover = std::function<int(const ustring& path)>;

    // One node as the diagnostics see it.
    struct NodeInfo {
        ustring path;  // built from the node names; "/" for the root
        bool is_dir = false;
        Status status = DONE;
        Event event;
        int refServerCount = 0;  // directories only
        int refLocalCount = 0;
    };

    EventList2();
    explicit EventList2(FileStatusRemover remover);
    ~EventList2();
    EventList2(const EventList2&) = delete;
    EventList2& operator=(const EventList2&) = delete;

    // Merges `e` into the tree; 0, or -1 with a warning (nothing stored) when
    // the path fails the shared event-path check (fs/event_path.h; the root
    // "/" is allowed): empty, not rooted, an empty, "." or ".." component, a
    // trailing "/", 4096 bytes or longer, or a name longer than 1023 bytes.
    // `old` receives what the node held before (EV_EMPTY if none).
    int Push(const Event_T& e);
    int Push(const Event_T& e, Event_T& old);
    // Hands out the next runnable event: 0, or -1 when none may run now.
    int Pop(Event_T& e);
    // Hands out the event at `path` only if its node is RETRY: 0, else -1.
    // The directory of that name is tried before the file.
    int Pop(const ustring& path, Event_T& e);
    // The same for the node of one kind only: a file and a directory of one
    // name are separate nodes and may both be out with different workers.
    int Pop(const ustring& path, bool is_dir, Event_T& e);
    // The event handed out for e.m_path is finished: 0, or -1 when no
    // processing node of the same origin is there.
    int DoneEvent(const Event_T& e);
    // The event for e.m_path is to be tried later: back to WAITING and behind
    // its siblings, together with its ancestors. 0 or -1.
    int Redo(const Event_T& e);

    void Clear();
    bool IsEmpty();
    int GetServerEventCount();
    int GetLocalEventCount();

    void TraverseTree();
    void Print();
    void Print(std::ostream& out);
    // Every node, depth first: a directory, its files, then its
    // sub-directories, each list in hand-out order.
    std::vector<NodeInfo> Snapshot();
    // Walks the whole tree and checks every invariant listed at the top of
    // this file: true, or false with the first violation in `problem`. For
    // tests and debugging; it costs a full walk.
    bool CheckInvariants(std::string* problem = nullptr);

    void SetWatchPath(const ustring& path);
    void SetFileStatusRemover(FileStatusRemover remover);

    static void ConvertEventToAttr(const Event_T& e, Attribute& attr);
    static void ConvertAttrToEvent(const Attribute& attr, Event_T& e);

private:
    using Node = EventTreeNode;
    using FileNode = EventTreeFile;
    using DirNode = EventTreeDir;

    // New nodes at the end of the parent's lists; a directory without `e` is
    // structural.
    DirNode* NewDirNode(DirNode* parent, std::string_view name, const Event_T* e);
    FileNode* NewFileNode(DirNode* parent, std::string_view name, const Event_T& e);
    // Walks the directory part from the root; creates missing directories
    // as structural nodes when `create` is set, else null when one is missing.
    DirNode* WalkDirs(std::string_view dir_part, bool create);
    DirNode* FindDir(DirNode* parent, std::string_view name) const;
    FileNode* FindFile(DirNode* parent, std::string_view name) const;

    // `old` may be null when the caller does not want the previous event.
    int PushLocked(const Event_T& e, Event_T* old);
    void AddRoot(const Event_T& e, Event_T* old);
    void AddDirectoryNode(DirNode* parent, std::string_view name, const Event_T& e, Event_T* old);
    void AddFileNode(DirNode* parent, std::string_view name, const Event_T& e, Event_T* old);
    // Stores the merge of the node's event with `e` (the policy is in
    // event/event_merge.h).
    void MergeInto(Node* n, const Event_T& e);

    void RemoveSubNode(DirNode* d, bool is_server, int& kept, uint64_t base);
    void RemoveSubFileNode(DirNode* d, bool is_server, int& kept, uint64_t base);
    bool IsAllSubNodeAreDeleteEvent(const DirNode* s) const;
    bool IsAllSubProcessingNodeAreDeleteEvent(const DirNode* s) const;

    int PopRoot(Event_T& e);
    int GetFirstWaiting(DirNode* n, Event_T& e);
    enum Kind { kAnyKind, kFileOnly, kDirOnly };
    int PopRetry(const ustring& path, Kind kind, Event_T& e);
    int PopByPath(std::string_view path, Kind kind, Event_T& e);
    void HandOutFile(DirNode* parent, FileNode* f, Event_T& e);
    void HandOutDir(DirNode* s, Event_T& e);

    int UpdateRoot(const Event_T& e);
    // `known` is the node of e's path when the cache of handed-out nodes
    // already knows it, else null.
    int UpdateDirDoneEvent(const Event_T& e, std::string_view dir_part, std::string_view base, Node* known);
    int UpdateFileDoneEvent(const Event_T& e, std::string_view dir_part, std::string_view base, Node* known);

    // A small cache of recently handed-out nodes by path, so that finishing
    // an event usually needs no look-up. A node leaves it when freed.
    static constexpr size_t kRecentSlots = 64;
    static size_t RecentSlot(std::string_view path);
    void RememberHandedOut(Node* n);
    void ForgetNode(Node* n);
    Node* RecentNode(const Event_T& e) const;
    // Frees the unlinked directory `p` and prunes its ancestors that became
    // empty structural nodes; returns the lowest directory left.
    DirNode* RemoveDoneEventDir(DirNode* p);
    int SetWaitingStatus(const Event_T& e, std::string_view dir_part, std::string_view base);

    // Unlinks a directory from its parent's lists (not from the index).
    void UnlinkDir(DirNode* d);
    // Frees a node and everything below it, taking each out of the index.
    void FreeDir(DirNode* d);
    void FreeFile(DirNode* parent, FileNode* f);
    void MoveDirToBack(DirNode* d);

    // Re-evaluates whether the walk has anything to do in `d` and keeps the
    // parent's active set in step; then the same for every ancestor.
    void RefreshUp(DirNode* d);
    void Refresh(DirNode* d);
    bool IsActive(const DirNode* d) const;

    // A retried node handed out again is counted under its new origin.
    void Recount(Node* n, DirNode* chain);
    void IncreaseRefCount(DirNode* node, bool is_server);
    void DecreaseRefCount(DirNode* node, bool is_server);
    void IncreaseServerEventCount();
    void DecreaseServerEventCount();
    void IncreaseLocalEventCount();
    void DecreaseLocalEventCount();
    void IncreaseCount(bool is_server) { is_server ? IncreaseServerEventCount() : IncreaseLocalEventCount(); }
    void DecreaseCount(bool is_server) { is_server ? DecreaseServerEventCount() : DecreaseLocalEventCount(); }

    // Removes the file-status entry of the event held by `n`.
    void RemoveFileStatus(const Node* n);

    void FreeTree();
    void AddRootNode();
    void Traverse(const DirNode* d) const;
    void PrintDir(std::ostream& out, const DirNode* d, int level) const;
    void SnapshotDir(const DirNode* d, const ustring& path, std::vector<NodeInfo>& out) const;

    // Guards the nodes and every member below except the two counters; see
    // "Thread safety" at the top of this file. Taken before `mutex_count`.
    std::mutex mutex;
    // Guards server_event_count and local_event_count only; a leaf.
    std::mutex mutex_count;
    DirNode* root = nullptr;
    int server_event_count = 0;
    int local_event_count = 0;
    ustring watch_path;
    FileStatusRemover remover_;
    EventTreeIndex index_;
    uint64_t next_seq_ = 0;
    Node* recent_[kRecentSlots] = {};
};
