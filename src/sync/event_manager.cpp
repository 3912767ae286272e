#include "sync/event_manager.h"

#include <algorithm>
#include <utility>

#include "base/logger.h"
#include "fs/event_path.h"
#include "session/registry.h"
#include "session/ui_ipc.h"
#include "store/file_status_db.h"
#include "store/file_status_info.h"

namespace {

const char* const kLog = "event_mgr_debug";

bool LogEnabled(Logger::Level level) {
    return Logger::Enabled(level, kLog);
}

unsigned long long U64(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// Why a pushed event is refused before it reaches a pool, or nullptr.
const char* RefusedEvent(const Event& e) {
    if (!ustring::is_valid(e.m_path)) return "not valid UTF-8";
    if (const char* problem = EventPathProblem(e.m_path, EventPathRoot::Allow)) return problem;
    // The root is only ever a directory that changed or is to be walked: a
    // removal of it would remove the whole session on the other side.
    if (e.m_path == "/" && (e.m_type == Event::EV_REMOVE || e.isFile())) return "removal or file event at the root";
    return nullptr;
}

}  // namespace

EventManager& EventManager::getInstance() {
    static EventManager instance;
    return instance;
}

EventManager::EventManager()
    : notifier_([](const Event& e) { UI_IPC::ReportFileSyncingEventToUI(e); }),
      marker_([this](const ustring& path, bool is_dir) { return SyncingEvent2FStatDB(path, is_dir); }) {}

EventManager::~EventManager() {
    Clear();
}

void EventManager::SetSyncingNotifier(SyncingNotifier notifier) {
    notifier_ = std::move(notifier);
}

void EventManager::SetSyncingMarker(SyncingMarker marker) {
    std::lock_guard<std::mutex> lock(m_lock);
    marker_ = std::move(marker);
}

// ---------------------------------------------------------------------------
// Pushing

// Every ustring and so every Event and registry entry costs several heap
// blocks; the push path reuses one of each per thread rather than build and
// free them for every event.
void EventManager::PushLocalEvent(const Event& e) {
    thread_local Event copy;
    copy = e;
    Push(copy);
}

void EventManager::PushServerEvent(const Event& e) {
    thread_local Event copy;
    copy = e;
    copy.setServerEvent();
    Push(copy);
}

void EventManager::Push(const Event& copy) {
    const bool server = copy.isServerEvent();
    if (const char* problem = RefusedEvent(copy)) {
        TW_DEBUG(kLog, "refused %s event path (%s) [%.256s]\n", server ? "server" : "local", problem,
                 copy.m_path.c_str());
        TW_WARNING(kLog, "File path is not valid, drop it.\n");
        return;
    }
    // Expand and rescan requests are the manager's own bookkeeping: they
    // mark nothing and tell the UI nothing.
    const bool announce = server || !(copy.isExpand() || copy.isRescan());
    thread_local Registry::Entry entry;
    // The entry's handles must not keep a removed session's databases alive
    // until this thread's next push, and the last of them may destroy one:
    // they go after m_lock is released.
    struct DropHandles {
        Registry::Entry& e;
        ~DropHandles() {
            e.black_list.reset();
            e.white_list.reset();
            e.event_db.reset();
            e.force_hash_check_list.reset();
        }
    } drop{entry};
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!Registry::getInstance().Find(copy.m_sess_id, entry)) {
            TW_ERROR(kLog, "Can not find registry by session %llu.\n", U64(copy.m_sess_id));
            return;
        }
        event_pool* pool = FindPool(copy.m_sess_id);
        if (!pool) pool = CreatePool(copy.m_sess_id, entry.local_path);
        if (pool->push(copy) != 0) return;
        if (LogEnabled(Logger::L_DEBUG)) {
            if (server) {
                TW_DEBUG(kLog, "EventManager::PushServerEvent = [%s].\n", copy.toString().c_str());
            } else {
                TW_DEBUG(kLog, "EventManager::PushLocalEvent = [%s].\n", copy.toString().c_str());
            }
        }
        UpdateRegistry(copy);
        if (pool->size() == 1) ready_queue.push_back(pool);
        if (announce) {
            thread_local ustring full;
            full = entry.local_path;
            if (copy.m_path != "/") full.append(copy.m_path);
            marker_(full, copy.isDir());
        }
    }
    if (announce) notifier_(copy);
}

void EventManager::UpdateRegistry(const Event& e) {
    for (auto& [task, entry] : registry) {
        const Event& p = entry.processing;
        if (p.m_sess_id != e.m_sess_id || p.m_path != e.m_path) continue;
        // The tree merged `e` into the node of the task's event only when
        // both are tree events of the same kind: an expand never enters the
        // tree, and a file and a directory of one name are separate nodes.
        if (!e.isExpand() && !p.isExpand() && p.isDir() == e.isDir()) entry.waiting = e;
        if (e.isServerEvent()) continue;
        if (p.isLocalEvent() && (p.m_type == Event::EV_CREATE || p.m_type == Event::EV_MODIFY) &&
            e.m_type == Event::EV_REMOVE) {
            TW_INFO(kLog,
                    "old event is UploadLocal but new event is RemoveRemote, abort UploadLocal progress '%s'.\n",
                    e.m_path.c_str());
            task->SetAbort(true);
        }
        if (e.isExpand() && e.m_mode == p.m_mode) {
            TW_INFO(kLog, "interrupt previous expander\n");
            task->SetAbort(true);
        }
    }
}

void EventManager::IssueRescan(uint64_t sess_id, const ustring& path, bool merge) {
    if (path == "/") {
        Event root;
        root.m_type = Event::EV_MODIFY;
        root.m_path = "/";
        root.m_sess_id = sess_id;
        root.setDir();
        PushLocalEvent(root);
    }
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_path = path;
    e.m_sess_id = sess_id;
    e.m_mode = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN | (merge ? static_cast<uint32_t>(Event::F_MERGE) : 0u);
    PushLocalEvent(e);
    if (LogEnabled(Logger::L_DEBUG))
        TW_DEBUG(kLog, "EventManager::IssueRescan at [%llu], ev=[%s]\n", U64(sess_id), e.toString().c_str());
}

void EventManager::IssueExpand(uint64_t sess_id, const ustring& path) {
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_path = path;
    e.m_sess_id = sess_id;
    e.m_mode = Event::F_DIR | Event::F_EXPAND;
    PushLocalEvent(e);
    if (LogEnabled(Logger::L_DEBUG))
        TW_DEBUG(kLog, "EventManager::IssueExpand at [%llu], ev=[%s]\n", U64(sess_id), e.toString().c_str());
}

// ---------------------------------------------------------------------------
// Handing out and finishing

int EventManager::PullEvent(Task* task, Event& e) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (ready_queue.empty()) return -1;
    event_pool* pool = ready_queue.front();
    ready_queue.pop_front();
    int ret = -1;
    if (pool->pop(e)) {
        auto it = registry.find(task);
        if (it != registry.end()) {
            TW_WARNING(kLog, "task %d pulled while still holding [%s]\n", task->GetId(),
                       it->second.processing.m_path.c_str());
        } else if (!spare_entries_.empty()) {
            auto node = std::move(spare_entries_.back());
            spare_entries_.pop_back();
            node.key() = task;
            it = registry.insert(std::move(node)).position;
        } else {
            it = registry.try_emplace(task).first;
        }
        it->second.processing = e;
        it->second.waiting.clear();
        if (LogEnabled(Logger::L_DEBUG)) TW_DEBUG(kLog, "EventManager::PullEvent [%s]\n", e.toString().c_str());
        ret = 0;
    }
    if (pool->size() != 0) ready_queue.push_back(pool);
    return ret;
}

bool EventManager::HandOutMerged(event_pool* pool, registry_entry_t& entry, Event& e) {
    if (!pool || entry.processing.isExpand()) return false;
    Event merged;
    if (pool->event_tree.Pop(entry.processing.m_path, entry.processing.isDir(), merged) != 0) return false;
    entry.processing = merged;
    entry.waiting.clear();
    e = std::move(merged);
    return true;
}

int EventManager::DoneEvent(Task* task, Event& e) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = registry.find(task);
    if (it == registry.end()) return 0;
    registry_entry_t& entry = it->second;
    event_pool* pool = FindPool(entry.processing.m_sess_id);

    // An expand event never entered the tree: whatever was pushed for its
    // path since belongs to other nodes and other tasks.
    if (entry.processing.isExpand()) {
        TW_DEBUG(kLog, "EventManager::DoneEvent unregistry for [%s]\n", entry.processing.m_path.c_str());
        Release(it);
        return 0;
    }
    if (entry.is_dirty()) {
        if (LogEnabled(Logger::L_DEBUG))
            TW_DEBUG(kLog, "EventManager::DoneEvent is dirty, waiting for [%s]\n", entry.waiting.toString().c_str());
        if (HandOutMerged(pool, entry, e)) return -1;
    } else {
        TW_DEBUG(kLog, "EventManager::DoneEvent unregistry for [%s]\n", entry.processing.m_path.c_str());
    }
    if (pool && pool->event_tree.DoneEvent(entry.processing) != 0) {
        // The node was merged into without a registered waiting event (the
        // tree refused the done because it is RETRY): the task carries the
        // merged event out rather than leaving the node stuck.
        if (HandOutMerged(pool, entry, e)) return -1;
    }
    Release(it);
    return 0;
}

int EventManager::RedoEvent(Task* task, const Event& e) {
    int ret = 0;
    Event redone;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = registry.find(task);
        redone = it != registry.end() ? it->second.processing : e;
        event_pool* pool = FindPool(redone.m_sess_id);
        if (!pool) {
            TW_ERROR(kLog, "Can not find event pool\n");
            ret = -1;
        } else if (redone.isExpand()) {
            ret = pool->push(redone);
            if (ret == 0 && pool->size() == 1) ready_queue.push_back(pool);
        } else if (pool->event_tree.Redo(redone) != 0) {
            // A retried root is not put back by the tree; its merged event is.
            Event merged;
            if (pool->event_tree.Pop(redone.m_path, redone.isDir(), merged) == 0 &&
                pool->event_tree.Redo(merged) == 0) {
                redone = merged;
            } else {
                TW_ERROR(kLog, "Failed to Reset event status to watting in event tree '%s'.\n", redone.m_path.c_str());
                ret = -1;
            }
        }
        // Kept, a failed entry would go on matching pushes for its path and
        // abort whatever the task does next.
        if (it != registry.end()) Release(it);
    }
    if (LogEnabled(Logger::L_INFO))
        TW_INFO(kLog, "EventManager::RedoEvent = [%s], ret= [%d]\n", redone.toString().c_str(), ret);
    return ret;
}

void EventManager::Release(std::unordered_map<Task*, registry_entry_t>::iterator it) {
    // Kept for the next pull, up to about one per worker.
    if (spare_entries_.size() < 64) {
        spare_entries_.push_back(registry.extract(it));
    } else {
        registry.erase(it);
    }
}

// ---------------------------------------------------------------------------
// Pools

event_pool* EventManager::FindPool(uint64_t sess_id) {
    auto it = pool_index.find(sess_id);
    return it == pool_index.end() ? nullptr : it->second.get();
}

event_pool* EventManager::CreatePool(uint64_t sess_id, const ustring& watch_path) {
    auto pool = std::make_unique<event_pool>(watch_path);
    event_pool* raw = pool.get();
    pool_index.emplace(sess_id, std::move(pool));
    std::lock_guard<std::mutex> lock(m_pool_index_lock);
    pool_counter_index[sess_id] = raw;
    return raw;
}

void EventManager::RemoveSession(uint64_t sess_id) {
    std::unique_ptr<event_pool> gone;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = pool_index.find(sess_id);
        if (it != pool_index.end()) {
            gone = std::move(it->second);
            pool_index.erase(it);
            std::erase(ready_queue, gone.get());
            {
                std::lock_guard<std::mutex> index_lock(m_pool_index_lock);
                pool_counter_index.erase(sess_id);
            }
        }
        std::erase_if(registry, [sess_id](const auto& kv) { return kv.second.processing.m_sess_id == sess_id; });
        // The syncing marks of the dropped events would otherwise stay for
        // good; written under m_lock like every mark, so that a push for a
        // re-added session cannot lose its mark to this removal.
        if (gone && !gone->watch_path().empty()) {
            FileStatusInfo info;
            info.path = gone->watch_path();
            if (FileStatusDB::rmFileSyncStat(info) != 0)
                TW_WARNING(kLog, "session %llu: failed to drop its entries from FStatDB [%s]\n", U64(sess_id),
                           info.path.c_str());
        }
    }
    TW_INFO(kLog, "EventManager: session %llu dropped (%s)\n", U64(sess_id), gone ? "with its pool" : "had no pool");
    // A large backlog is freed outside the lock.
    gone.reset();
}

void EventManager::Clear() {
    std::unordered_map<uint64_t, std::unique_ptr<event_pool>> gone;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        {
            std::lock_guard<std::mutex> index_lock(m_pool_index_lock);
            pool_counter_index.clear();
        }
        gone.swap(pool_index);
        registry.clear();
        ready_queue.clear();
    }
}

// ---------------------------------------------------------------------------
// Counts and marks

size_t EventManager::CountOf(uint64_t sess_id, bool server_only) {
    std::lock_guard<std::mutex> lock(m_pool_index_lock);
    auto it = pool_counter_index.find(sess_id);
    if (it == pool_counter_index.end()) return 0;
    const int server = it->second->get_server_event_count();
    const int local = server_only ? 0 : it->second->get_local_event_count();
    return static_cast<size_t>(server) + static_cast<size_t>(local);
}

size_t EventManager::GetPendingServerEvent(uint64_t sess_id) {
    const size_t n = CountOf(sess_id, true);
    TW_DEBUG(kLog, "EventManager: session %llu has %zu server events.\n", U64(sess_id), n);
    return n;
}

size_t EventManager::GetAllPendingEventCount(uint64_t sess_id) {
    const size_t n = CountOf(sess_id, false);
    TW_DEBUG(kLog, "EventManager: session %llu has %zu total events.\n", U64(sess_id), n);
    return n;
}

int EventManager::SyncingEvent2FStatDB(const ustring& path, bool is_dir) {
    FileStatusInfo info;
    info.path = path;
    info.fileType = is_dir ? 1 : 0;
    info.syncStatus = FSTAT_SYNCING;
    TW_DEBUG(kLog, "Syncing event to fstatdb at path [%s].\n", path.c_str());
    if (FileStatusDB::setFileSyncStat(info) != 0) {
        TW_ERROR(kLog, "Failed to set syncing event into FStatDB at path [%s].\n", path.c_str());
        return -1;
    }
    return 0;
}
