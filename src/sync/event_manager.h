// The process-wide router between the producers of events (the local change
// detector, the event generator, the syncers, the workers' follow-up events,
// control actions) and the worker tasks that carry them out.
//
// Every session has one pool (its event tree plus a queue of expand events),
// created by the first push for the session. Workers poll PullEvent, which
// serves the sessions in turn, one event per call, and never waits. The
// manager records which task holds which event, so that a newer event for
// the same path reaches that task when it reports done (DoneEvent then hands
// it the merged event), and so that a local removal of a file being uploaded
// aborts the upload. Every queued change is marked FSTAT_SYNCING in the file
// status database and announced to the UI ("syncing_file").
//
// Thread safety and lock order
//   `m_lock` guards `registry`, `pool_index`, `ready_queue` and everything
//   inside the pools' trees and expand queues; it is held across every push,
//   pull, done, redo and session removal. Inside it the manager takes, never
//   the other way round: `m_pool_index_lock` (pool creation and removal), the
//   session registry's lock (Registry::Find), a tree's mutex and then its
//   counter mutex. Producers that hold a lock of their own (the detector's)
//   take it before `m_lock`.
//   `m_pool_index_lock` guards `pool_counter_index`. The count queries take
//   only it and then a tree's counter mutex, so status requests never wait
//   for a push or a pull. A pool is freed only after it left
//   `pool_counter_index` under that lock.
//   Nothing called under `m_lock` re-enters the manager: Task::SetAbort, the
//   file status database and the tree's file-status remover. The UI notice
//   is sent after `m_lock` is released (a UI that does not accept must not
//   stall the other producers and the workers); the file-status mark is set
//   inside it, so that a worker's done, which clears the mark, cannot come
//   before it and leave a stale syncing row.
//
// Invariants
//   1. A pool is in `ready_queue` (possibly twice for a while) whenever its
//      size is not 0; it leaves the queue only when a pull finds it empty.
//   2. A registry entry's `processing` is an event that the task was handed
//      and has not finished; its tree node is PROCESSING or RETRY, unless it
//      is an expand event (those never enter a tree).
//   3. `waiting` is set only on entries whose `processing` is not an expand
//      event and has the same session, path and kind (file or directory) as
//      the pushed event; so a dirty done always concerns the task's own node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/task.h"
#include "base/ustring.h"
#include "event/event.h"
#include "sync/event_pool.h"

class EventManager {
public:
    struct registry_entry_t {
        Event processing;  // the event the task was given
        Event waiting;     // EV_EMPTY, or the newest event merged into its node meanwhile
        bool is_dirty() const { return waiting.isValid(); }
    };

    // Announces a queued event to the UI; UI_IPC's "syncing_file" by default.
    using SyncingNotifier = std::function<void(const Event&)>;
    // Marks a full local path as syncing; SyncingEvent2FStatDB by default.
    using SyncingMarker = std::function<int(const ustring& path, bool is_dir)>;

    static EventManager& getInstance();

    // A manager of its own (tests and benchmarks); the daemon uses the
    // instance above.
    EventManager();
    ~EventManager();
    EventManager(const EventManager&) = delete;
    EventManager& operator=(const EventManager&) = delete;

    // Queue an event. A path that is not valid UTF-8 or fails the shared
    // event-path check, a removal of "/" and a file event at "/" are dropped
    // with a warning; an event of a session that is not in the session
    // registry is dropped with an error.
    void PushLocalEvent(const Event& e);
    // The same for a server event; the manager sets F_SERVER on its copy.
    void PushServerEvent(const Event& e);
    // A rescan of the directory `path` (for "/" also a modification of the
    // root in the tree), with F_MERGE when `merge` is set.
    void IssueRescan(uint64_t sess_id, const ustring& path, bool merge);
    // An expansion (walk) of the new directory `path`.
    void IssueExpand(uint64_t sess_id, const ustring& path);

    // 0 and the next event in `e`, or -1 when the session whose turn it is has
    // nothing that may run now (or no session has events). Never waits.
    int PullEvent(Task* task, Event& e);
    // The task finished its event. 0: done, the task is free. -1: a newer
    // event for the same path was merged meanwhile; `e` holds it, and the
    // task must carry it out and report again. The tree is always updated
    // with the registered event; `e` is only an output.
    int DoneEvent(Task* task, Event& e);
    // Puts the task's event back to waiting (behind its siblings); an expand
    // event goes back to the end of its session's expand queue. The
    // registered event is the one put back; `e` is used only for a task
    // without one. 0 or -1; the task's entry is erased either way.
    int RedoEvent(Task* task, const Event& e);

    // The session's server events, and all its tree events (expand events
    // are not counted); 0 for a session without pool. Never wait for m_lock.
    size_t GetPendingServerEvent(uint64_t sess_id);
    size_t GetAllPendingEventCount(uint64_t sess_id);

    // Marks the full local path `path` ("/"-separated) as FSTAT_SYNCING: 0 or
    // -1.
    int SyncingEvent2FStatDB(const ustring& path, bool is_dir);

    // Drops the session's pool with its queued events, its place in the
    // rotation, the registry entries of tasks working for it and the
    // file-status entries below its folder. A task that reports such an
    // event done later finds no entry (0, nothing happens). Re-adding the
    // session starts from an empty pool.
    void RemoveSession(uint64_t sess_id);
    // Drops every pool, registry entry and queue entry.
    void Clear();

    void SetSyncingNotifier(SyncingNotifier notifier);
    void SetSyncingMarker(SyncingMarker marker);

private:
    void Push(const Event& copy);
    // REQUIRES: m_lock held.
    event_pool* FindPool(uint64_t sess_id);
    event_pool* CreatePool(uint64_t sess_id, const ustring& watch_path);
    // The registry walk of a push: waiting events and aborts.
    void UpdateRegistry(const Event& e);
    // The retried node of the entry's event, handed to the same task: true
    // with the merged event in `e` and in the entry.
    bool HandOutMerged(event_pool* pool, registry_entry_t& entry, Event& e);
    size_t CountOf(uint64_t sess_id, bool server_only);
    // Erases a registry entry, keeping its node for a later pull.
    void Release(std::unordered_map<Task*, registry_entry_t>::iterator it);

    std::unordered_map<Task*, registry_entry_t> registry;
    std::unordered_map<uint64_t, std::unique_ptr<event_pool>> pool_index;
    std::deque<event_pool*> ready_queue;
    std::vector<std::unordered_map<Task*, registry_entry_t>::node_type> spare_entries_;
    // Guards registry, pool_index, ready_queue, spare_entries_ and the pools;
    // taken before
    // m_pool_index_lock, the session registry's lock and a tree's locks.
    std::mutex m_lock;

    std::map<uint64_t, event_pool*> pool_counter_index;
    // Guards pool_counter_index; inside m_lock when both are held; before a
    // tree's counter mutex.
    std::mutex m_pool_index_lock;

    // Set before the manager is shared between threads; read under m_lock
    // (the marker) or after it (the notifier, copied under it).
    SyncingNotifier notifier_;
    SyncingMarker marker_;
};
