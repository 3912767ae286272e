#include "event/event_list2.h"

#include <utility>

#include "base/logger.h"
#include "event/event_list2_internal.h"
#include "event/event_merge.h"
#include "event/path_split.h"
#include "fs/event_path.h"

using namespace event_list2_internal;

// ---------------------------------------------------------------------------
// Construction

EventList2::EventList2() {
    AddRootNode();
}

EventList2::EventList2(FileStatusRemover remover) : remover_(std::move(remover)) {
    AddRootNode();
}

EventList2::~EventList2() {
    FreeTree();
}

void EventList2::AddRootNode() {
    root = Node::Create<DirNode>(1);
    root->is_dir = true;
    root->SetName("/");
    root->status = DONE;
}

void EventList2::FreeTree() {
    // Every node goes at once: the index is reset rather than emptied node by
    // node.
    std::vector<DirNode*> todo{root};
    while (!todo.empty()) {
        DirNode* d = todo.back();
        todo.pop_back();
        for (Node* f = d->files.front(); f;) {
            Node* next = EventTreeNodeList::next(f);
            Node::Destroy(static_cast<FileNode*>(f));
            f = next;
        }
        for (Node* s = d->dirs.front(); s; s = EventTreeNodeList::next(s)) todo.push_back(static_cast<DirNode*>(s));
        Node::Destroy(d);
    }
    root = nullptr;
    index_.Reset();
    for (Node*& r : recent_) r = nullptr;
}

void EventList2::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    TW_INFO(kLog, "========Clear=========\n");
    FreeTree();
    {
        std::lock_guard<std::mutex> count_lock(mutex_count);
        server_event_count = 0;
        local_event_count = 0;
    }
    AddRootNode();
}

void EventList2::SetWatchPath(const ustring& path) {
    std::lock_guard<std::mutex> lock(mutex);
    watch_path = path;
}

void EventList2::SetFileStatusRemover(FileStatusRemover remover) {
    std::lock_guard<std::mutex> lock(mutex);
    remover_ = std::move(remover);
}

// ---------------------------------------------------------------------------
// Conversion

void EventList2::ConvertEventToAttr(const Event_T& e, Attribute& attr) {
    attr.type = e.m_type;
    attr.mode = e.m_mode;
    attr.syncID = e.m_sync_id;
    attr.maxSyncID = e.m_max_id;
    attr.sessID = e.m_sess_id;
    attr.hash = e.m_data_hash;
    attr.path = e.m_path;
    attr.opt = e.m_opt;
    attr.mac_attr_hash = e.m_mac_attr_hash;
    attr.size = e.m_data_size;
    attr.mac_attr_size = e.m_mac_attr_size;
    attr.time = e.m_time;
    attr.exec_bit = e.m_exec_bit;
}

void EventList2::ConvertAttrToEvent(const Attribute& attr, Event_T& e) {
    e.m_type = attr.type;
    e.m_mode = attr.mode;
    e.m_sync_id = attr.syncID;
    e.m_max_id = attr.maxSyncID;
    e.m_sess_id = attr.sessID;
    e.m_data_hash = attr.hash;
    e.m_path = attr.path;
    e.m_opt = attr.opt;
    e.m_mac_attr_hash = attr.mac_attr_hash;
    e.m_data_size = attr.size;
    e.m_mac_attr_size = attr.mac_attr_size;
    e.m_time = attr.time;
    e.m_exec_bit = attr.exec_bit;
}

// ---------------------------------------------------------------------------
// Counters and reference counts

void EventList2::IncreaseServerEventCount() {
    std::lock_guard<std::mutex> lock(mutex_count);
    ++server_event_count;
}
void EventList2::DecreaseServerEventCount() {
    std::lock_guard<std::mutex> lock(mutex_count);
    --server_event_count;
}
void EventList2::IncreaseLocalEventCount() {
    std::lock_guard<std::mutex> lock(mutex_count);
    ++local_event_count;
}
void EventList2::DecreaseLocalEventCount() {
    std::lock_guard<std::mutex> lock(mutex_count);
    --local_event_count;
}

bool EventList2::IsEmpty() {
    std::lock_guard<std::mutex> lock(mutex_count);
    return server_event_count == 0 && local_event_count == 0;
}
int EventList2::GetServerEventCount() {
    std::lock_guard<std::mutex> lock(mutex_count);
    return server_event_count;
}
int EventList2::GetLocalEventCount() {
    std::lock_guard<std::mutex> lock(mutex_count);
    return local_event_count;
}

void EventList2::IncreaseRefCount(DirNode* node, bool is_server) {
    for (DirNode* d = node; d; d = d->parent) ++(is_server ? d->refServerCount : d->refLocalCount);
}

void EventList2::DecreaseRefCount(DirNode* node, bool is_server) {
    for (DirNode* d = node; d; d = d->parent) --(is_server ? d->refServerCount : d->refLocalCount);
}

void EventList2::RemoveFileStatus(const Node* n) {
    // A node without an event never had a status entry of its own; its empty
    // path would name the session folder itself.
    if (!remover_ || n->path_len == 0) return;
    ustring full = watch_path;
    full.append(n->path().data(), n->path().size());
    if (remover_(full) != 0) TW_ERROR(kLog, "Failed to rm synced event from FStatDB [%s].\n", full.c_str());
}

// ---------------------------------------------------------------------------
// Merging

void EventList2::MergeInto(Node* n, const Event_T& e) {
    const event_merge::Key old_key{n->type, n->mode, n->syncID};
    const event_merge::Key new_key{e.m_type, e.m_mode, e.m_sync_id};
    const event_merge::Result r = event_merge::HandleConflict(old_key, new_key);
    if (r.take_new) n->SetEvent(e);
    n->mode |= r.add_mode;

    const uint32_t mark = event_merge::SubDirRescanMark(old_key, new_key, n->type);
    n->mode |= mark;
    if (mark == Event::F_SERVER_SUBDIR_RESCAN) {
        TW_INFO(kLog, "Mark node to be ServerSubDirRescan(pre-event dir delete) [%.*s].\n", TW_SV(n->path()));
    } else if (mark == Event::F_LOCAL_SUBDIR_RESCAN) {
        TW_INFO(kLog, "Mark node to be LocalSubDirRescan(pre-event dir delete) [%.*s].\n", TW_SV(n->path()));
    }
}

// ---------------------------------------------------------------------------
// Push

int EventList2::Push(const Event_T& e) {
    if (LogEnabled(Logger::L_INFO)) TW_INFO(kLog, "[Push Event] = [%s]\n", e.toString().c_str());
    std::lock_guard<std::mutex> lock(mutex);
    return PushLocked(e, nullptr);
}

int EventList2::Push(const Event_T& e, Event_T& old) {
    std::lock_guard<std::mutex> lock(mutex);
    if (&old == &e) {
        const Event_T copy = e;
        return PushLocked(copy, &old);
    }
    return PushLocked(e, &old);
}

int EventList2::PushLocked(const Event_T& e, Event_T* old) {
    if (old) old->clear();
    // The one entry where paths are stored: a path that names anything but
    // an item inside the session folder ("/a/../../x", "a", "/a//b") never
    // becomes a node. The root itself is a valid event path here.
    if (const char* problem = EventPathProblem(e.m_path, EventPathRoot::Allow)) {
        TW_WARNING(kLog, "Push: refused path (%s) of %zu bytes [%.256s]\n", problem, e.m_path.size(), e.m_path.c_str());
        return -1;
    }
    const std::string_view path = e.m_path.view();
    std::string_view dir_part, base;
    if (!IsRootPath(path) && path_split::Split(path, dir_part, base) != path_split::OK) return -1;

    // An empty event is only ever merged into a pending one: stored on its
    // own it would be a waiting node with nothing to hand out.
    if (e.m_type == Event::EV_EMPTY) {
        const Node* n = nullptr;
        if (IsRootPath(path)) {
            n = root;
        } else if (DirNode* parent = WalkDirs(dir_part, false)) {
            n = e.isDir() ? static_cast<const Node*>(FindDir(parent, base)) : FindFile(parent, base);
        }
        if (!n || !n->hasEvent()) return -1;
    }

    if (IsRootPath(path)) {
        AddRoot(e, old);
        return 0;
    }
    DirNode* parent = WalkDirs(dir_part, true);
    if (e.isDir()) {
        AddDirectoryNode(parent, base, e, old);
    } else {
        AddFileNode(parent, base, e, old);
    }
    return 0;
}

void EventList2::AddRoot(const Event_T& e, Event_T* old) {
    if (!root->hasEvent()) {
        root->SetEvent(e);
        root->status = WAITING;
        IncreaseCount(root->isServer());
        return;
    }
    if (old) root->GetEvent(*old);
    const bool old_server = root->isServer();
    MergeInto(root, e);
    IncreaseCount(root->isServer());
    DecreaseCount(old_server);
    if (root->status == PROCESSING) {
        // Still out with its worker: it keeps counting on the root (under
        // the origin it was handed out with) until done or redone.
        root->status = RETRY;
    } else if (root->status != RETRY) {
        root->status = WAITING;
    }
}

void EventList2::AddFileNode(DirNode* parent, std::string_view name, const Event_T& e, Event_T* old) {
    FileNode* f = FindFile(parent, name);
    if (f) {
        if (old) f->GetEvent(*old);
        const int before = f->status;
        if (before == DONE) {
            f->SetEvent(e);
        } else {
            const bool old_server = f->isServer();
            if (before == PROCESSING) --parent->processing_files;
            DecreaseCount(old_server);
            MergeInto(f, e);
        }
        if (before == PROCESSING || before == RETRY) {
            f->status = RETRY;
        } else {
            f->status = WAITING;
            if (before != WAITING) parent->waiting_files.push_back(f);
        }
        IncreaseCount(f->isServer());
    } else {
        f = NewFileNode(parent, name, e);
        parent->waiting_files.push_back(f);
        IncreaseCount(f->isServer());
    }
    RefreshUp(parent);
}

void EventList2::AddDirectoryNode(DirNode* parent, std::string_view name, const Event_T& e, Event_T* old) {
    DirNode* s = FindDir(parent, name);
    if (s) {
        if (old) s->GetEvent(*old);
        const int before = s->status;
        if (before == DONE) {
            s->SetEvent(e);
        } else {
            const bool old_server = s->isServer();
            DecreaseCount(old_server);
            MergeInto(s, e);
        }
        s->status = (before == PROCESSING || before == RETRY) ? RETRY : WAITING;
        IncreaseCount(s->isServer());
    } else {
        s = NewDirNode(parent, name, &e);
        s->status = WAITING;
        IncreaseCount(s->isServer());
    }
    if (s->type == Event::EV_REMOVE) {
        int kept = 0;
        RemoveSubNode(s, s->isServer(), kept, s->syncID);
    }
    RefreshUp(s);
}
