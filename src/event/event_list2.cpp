#include "event/event_list2.h"

#include <iostream>
#include <string>
#include <utility>

#include "base/logger.h"
#include "event/path_split.h"

namespace {

constexpr const char* kLog = "event_list_debug";

// printf arguments for a string_view printed with "%.*s".
#define TW_SV(v) static_cast<int>((v).size()), (v).data()

// Bytes of the strings a node keeps of an event.
size_t StringBytes(const Event& e) {
    return e.m_path.size() + e.m_data_hash.size() + e.m_opt.size() + e.m_mac_attr_hash.size();
}

bool IsRootPath(std::string_view path) {
    return path.size() == 1 && path[0] == '/';
}

bool LogEnabled(Logger::Level level) {
    return Logger::Enabled(level, kLog);
}

bool IsSubDirRescanMode(uint32_t mode) {
    return (mode & (Event::F_LOCAL_SUBDIR_RESCAN | Event::F_SERVER_SUBDIR_RESCAN | Event::F_LOCAL_SUBDIR_RESCAN_STAT |
                    Event::F_SERVER_SUBDIR_RESCAN_STAT)) != 0;
}

const char* StatusName(int status) {
    switch (status) {
        case EventList2::WAITING:
            return "WAITING";
        case EventList2::PROCESSING:
            return "PROCESSING";
        case EventList2::DONE:
            return "DONE";
        case EventList2::RETRY:
            return "RETRY";
    }
    return "UNKNOWN";
}

std::string ModeText(uint32_t mode) {
    std::string s = (mode & Event::F_SERVER) ? "server" : "local";
    if (mode & Event::F_LOCAL_SUBDIR_RESCAN) s += ",local-dir-rescan";
    if (mode & Event::F_SERVER_SUBDIR_RESCAN) s += ",server-dir-rescan";
    if (mode & Event::F_LOCAL_SUBDIR_RESCAN_STAT) s += ",local-dir-rescan-stat";
    if (mode & Event::F_SERVER_SUBDIR_RESCAN_STAT) s += ",server-dir-rescan-stat";
    if (mode & Event::F_CONFLICT) s += ",conflict";
    return s;
}

}  // namespace

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

// ---------------------------------------------------------------------------
// Nodes

EventList2::DirNode* EventList2::NewDirNode(DirNode* parent, std::string_view name, const Event_T* e) {
    DirNode* d = Node::Create<DirNode>(name.size() + (e ? StringBytes(*e) : 0));
    d->is_dir = true;
    if (e) {
        d->SetNameAndEvent(name, *e);
    } else {
        d->SetName(name);
    }
    d->parent = parent;
    d->status = DONE;
    d->seq = ++next_seq_;
    parent->dirs.push_back(d);
    index_.Insert(d);
    return d;
}

EventList2::FileNode* EventList2::NewFileNode(DirNode* parent, std::string_view name, const Event_T& e) {
    FileNode* f = Node::Create<FileNode>(name.size() + StringBytes(e));
    f->SetNameAndEvent(name, e);
    f->parent = parent;
    f->status = WAITING;
    parent->files.push_back(f);
    index_.Insert(f);
    return f;
}

EventList2::DirNode* EventList2::FindDir(DirNode* parent, std::string_view name) const {
    return static_cast<DirNode*>(index_.Find(parent, true, name));
}

EventList2::FileNode* EventList2::FindFile(DirNode* parent, std::string_view name) const {
    return static_cast<FileNode*>(index_.Find(parent, false, name));
}

EventList2::DirNode* EventList2::WalkDirs(std::string_view dir_part, bool create) {
    DirNode* cur = root;
    size_t pos = 0;
    std::string_view comp;
    while (path_split::NextComponent(dir_part, pos, comp)) {
        DirNode* next = FindDir(cur, comp);
        if (!next) {
            if (!create) return nullptr;
            next = NewDirNode(cur, comp, nullptr);
        }
        cur = next;
    }
    return cur;
}

void EventList2::UnlinkDir(DirNode* d) {
    DirNode* parent = d->parent;
    if (d->active) {
        parent->active_dirs.erase({d->seq, d});
        d->active = false;
    }
    parent->dirs.erase(d);
}

void EventList2::FreeDir(DirNode* d) {
    for (Node* f = d->files.front(); f;) {
        Node* next = EventTreeNodeList::next(f);
        index_.Erase(f);
        ForgetNode(f);
        Node::Destroy(static_cast<FileNode*>(f));
        f = next;
    }
    for (Node* s = d->dirs.front(); s;) {
        Node* next = EventTreeNodeList::next(s);
        FreeDir(static_cast<DirNode*>(s));
        s = next;
    }
    index_.Erase(d);
    ForgetNode(d);
    Node::Destroy(d);
}

void EventList2::FreeFile(DirNode* parent, FileNode* f) {
    if (f->status == WAITING) parent->waiting_files.erase(f);
    if (f->status == PROCESSING) --parent->processing_files;
    parent->files.erase(f);
    index_.Erase(f);
    ForgetNode(f);
    Node::Destroy(f);
}

size_t EventList2::RecentSlot(std::string_view path) {
    return std::hash<std::string_view>()(path) % kRecentSlots;
}

void EventList2::RememberHandedOut(Node* n) {
    const size_t slot = RecentSlot(n->path());
    if (recent_[slot]) recent_[slot]->recent_slot = 0xFF;
    recent_[slot] = n;
    n->recent_slot = static_cast<uint8_t>(slot);
}

void EventList2::ForgetNode(Node* n) {
    if (n->recent_slot != 0xFF && recent_[n->recent_slot] == n) recent_[n->recent_slot] = nullptr;
    n->recent_slot = 0xFF;
}

EventList2::Node* EventList2::RecentNode(const Event_T& e) const {
    // A node whose event path is spelled exactly like e's is the node that
    // e's path leads to.
    Node* n = recent_[RecentSlot(e.m_path.view())];
    if (n && n->is_dir == e.isDir() && n->path() == e.m_path.view()) return n;
    return nullptr;
}

void EventList2::MoveDirToBack(DirNode* d) {
    DirNode* parent = d->parent;
    parent->dirs.move_to_back(d);
    if (d->active) parent->active_dirs.erase({d->seq, d});
    d->seq = ++next_seq_;
    if (d->active) parent->active_dirs.insert({d->seq, d});
}

bool EventList2::IsActive(const DirNode* d) const {
    switch (d->status) {
        case WAITING:
            // Handed out when nothing inside is processing; a waiting removal
            // with processing items inside may be marked by the walk.
            return (d->refServerCount == 0 && d->refLocalCount == 0) || d->type == Event::EV_REMOVE;
        case DONE:
            return !d->waiting_files.empty() || !d->active_dirs.empty();
        default:
            return false;
    }
}

void EventList2::Refresh(DirNode* d) {
    if (!d->parent) return;
    const bool active = IsActive(d);
    if (active == d->active) return;
    if (active) {
        d->parent->active_dirs.insert({d->seq, d});
    } else {
        d->parent->active_dirs.erase({d->seq, d});
    }
    d->active = active;
}

void EventList2::RefreshUp(DirNode* d) {
    for (DirNode* x = d; x && x->parent; x = x->parent) Refresh(x);
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

EventList2::MergeResult EventList2::HandleTypeConflict(bool server_is_new, const MergeKey& server,
                                                       const MergeKey& local) {
    if (local.type == Event::EV_REMOVE) return {server_is_new, 0};
    if (server.type == Event::EV_REMOVE) return {!server_is_new, 0};
    return {server_is_new, Event::F_CONFLICT};
}

EventList2::MergeResult EventList2::HandleConflict(const MergeKey& old_key, const MergeKey& new_key) {
    if (old_key.type == Event::EV_EMPTY) return {true, 0};
    if (new_key.type == Event::EV_EMPTY) return {false, 0};

    const bool old_server = (old_key.mode & Event::F_SERVER) != 0;
    const bool new_server = (new_key.mode & Event::F_SERVER) != 0;
    const bool keep_old_by_id = old_key.syncID >= new_key.syncID && old_key.syncID != Event::kMadeUpSyncId;

    if (new_key.mode & Event::F_DIR) {
        if (old_server && new_server) return {!keep_old_by_id, 0};
        return {true, 0};
    }
    if (old_server == new_server) {
        if (!old_server) return {true, 0};
        return {!keep_old_by_id, 0};
    }
    if (new_server) return HandleTypeConflict(true, new_key, old_key);
    return HandleTypeConflict(false, old_key, new_key);
}

void EventList2::MergeInto(Node* n, const Event_T& e) {
    const MergeKey old_key{n->type, n->mode, n->syncID};
    const MergeKey new_key{e.m_type, e.m_mode, e.m_sync_id};
    const MergeResult r = HandleConflict(old_key, new_key);
    if (r.take_new) n->SetEvent(e);
    n->mode |= r.add_mode;

    const bool rule_applies = old_key.type != Event::EV_EMPTY && new_key.type != Event::EV_EMPTY;
    if (rule_applies && (new_key.mode & Event::F_DIR) && old_key.type == Event::EV_REMOVE &&
        n->type != Event::EV_REMOVE) {
        if (old_key.mode & Event::F_SERVER) {
            n->mode |= Event::F_SERVER_SUBDIR_RESCAN;
            TW_INFO(kLog, "Mark node to be ServerSubDirRescan(pre-event dir delete) [%.*s].\n", TW_SV(n->path()));
        } else {
            n->mode |= Event::F_LOCAL_SUBDIR_RESCAN;
            TW_INFO(kLog, "Mark node to be LocalSubDirRescan(pre-event dir delete) [%.*s].\n", TW_SV(n->path()));
        }
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
    const std::string_view path = e.m_path.view();
    std::string_view dir_part, base;
    if (!IsRootPath(path)) {
        const path_split::Result split = path_split::Split(path, dir_part, base);
        if (split == path_split::TOO_LONG) {
            TW_WARNING(kLog, "Push: refused a path of %zu bytes or with a name over %zu bytes [%.256s]\n", path.size(),
                       path_split::kMaxNameBytes, e.m_path.c_str());
            return -1;
        }
        if (split != path_split::OK) return -1;
    }

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

// ---------------------------------------------------------------------------
// Dropping events under a directory removal

void EventList2::RemoveSubNode(DirNode* d, bool is_server, int& kept, uint64_t base) {
    for (Node* n = d->dirs.front(); n;) {
        Node* next = EventTreeNodeList::next(n);
        DirNode* s = static_cast<DirNode*>(n);
        int k = 0;
        RemoveSubNode(s, is_server, k, base);
        const bool same_origin = s->isServer() == is_server;
        const bool removable =
            k == 0 && (s->status == DONE || (s->status == WAITING && same_origin && (!is_server || s->syncID < base)));
        if (removable) {
            TW_DEBUG(kLog, "[Remove Dir Node] = [%.*s]\n", TW_SV(s->name()));
            if (s->status == WAITING) DecreaseCount(s->isServer());
            RemoveFileStatus(s);
            UnlinkDir(s);
            FreeDir(s);
        } else {
            TW_DEBUG(kLog, "[Cannot Remove Dir Node] = [%.*s],refTemp = [%d],status = [%d], event_mode_equal[%d]\n",
                     TW_SV(s->name()), k, d->status, same_origin ? 1 : 0);
            if (s->status == WAITING && same_origin && !(is_server && s->syncID >= base)) {
                DecreaseCount(s->isServer());
                s->status = DONE;
                RemoveFileStatus(s);
                s->ClearEvent();
            }
            kept += k + 1;
            Refresh(s);
        }
        n = next;
    }
    RemoveSubFileNode(d, is_server, kept, base);
}

void EventList2::RemoveSubFileNode(DirNode* d, bool is_server, int& kept, uint64_t base) {
    for (Node* n = d->files.front(); n;) {
        Node* next = EventTreeNodeList::next(n);
        FileNode* f = static_cast<FileNode*>(n);
        const bool stays = f->status == PROCESSING || f->status == RETRY || f->isServer() != is_server ||
                           (f->isServer() && f->syncID >= base);
        if (stays) {
            TW_DEBUG(kLog, "[Cannot Remove File Node] = [%.*s]\n", TW_SV(f->name()));
            ++kept;
        } else {
            TW_DEBUG(kLog, "[Remove File Node] = [%.*s]\n", TW_SV(f->name()));
            if (f->status == WAITING) DecreaseCount(f->isServer());
            RemoveFileStatus(f);
            FreeFile(d, f);
        }
        n = next;
    }
}

bool EventList2::IsAllSubNodeAreDeleteEvent(const DirNode* s) const {
    for (const Node* f = s->files.front(); f; f = EventTreeNodeList::next(f)) {
        if (f->status != DONE && f->type != Event::EV_REMOVE) return false;
    }
    for (const Node* n = s->dirs.front(); n; n = EventTreeNodeList::next(n)) {
        const DirNode* d = static_cast<const DirNode*>(n);
        if (d->status != DONE && d->type != Event::EV_REMOVE) return false;
        if (!IsAllSubNodeAreDeleteEvent(d)) return false;
    }
    return true;
}

bool EventList2::IsAllSubProcessingNodeAreDeleteEvent(const DirNode* s) const {
    if (s->processing_files > 0) {
        for (const Node* f = s->files.front(); f; f = EventTreeNodeList::next(f)) {
            if (f->status == PROCESSING && f->type != Event::EV_REMOVE) {
                TW_INFO(kLog, "file '%.*s' is processing with event type [%d]\n", TW_SV(f->name()), f->type);
                return false;
            }
        }
    }
    for (const Node* n = s->dirs.front(); n; n = EventTreeNodeList::next(n)) {
        const DirNode* d = static_cast<const DirNode*>(n);
        // Without processing items inside, only the directory itself counts.
        if ((d->refServerCount != 0 || d->refLocalCount != 0) && !IsAllSubProcessingNodeAreDeleteEvent(d)) {
            TW_INFO(kLog, "AllSubProcessingNode are not Delete Event '%.*s'.\n", TW_SV(d->name()));
            return false;
        }
        if (d->status == PROCESSING && d->type != Event::EV_REMOVE) {
            TW_INFO(kLog, "Dir '%.*s' is processing with event type [%d]\n", TW_SV(d->name()), d->type);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Handing out

int EventList2::Pop(Event_T& e) {
    std::lock_guard<std::mutex> lock(mutex);
    switch (root->status) {
        case WAITING:
            return PopRoot(e);
        case DONE:
            return GetFirstWaiting(root, e);
        default:
            return -1;  // nothing runs while the root's event is out
    }
}

int EventList2::PopRoot(Event_T& e) {
    if (!root->hasEvent()) return -1;
    root->status = PROCESSING;
    root->out_server = root->isServer();
    IncreaseRefCount(root, root->out_server);
    TW_INFO(kLog, "[Pop Event] = ['/', %llu, %s]\n", static_cast<unsigned long long>(root->syncID),
            root->isServer() ? "server" : "local");
    root->GetEvent(e);
    return 0;
}

void EventList2::HandOutFile(DirNode* parent, FileNode* f, Event_T& e) {
    if (f->status == WAITING) parent->waiting_files.erase(f);
    f->status = PROCESSING;
    ++parent->processing_files;
    f->out_server = f->isServer();
    IncreaseRefCount(parent, f->out_server);
    TW_DEBUG(kLog, "[Pop File Event] = [%.*s], server = [%d], type = [%d], path = [%.*s]\n", TW_SV(f->name()),
             f->isServer() ? 1 : 0, f->type, TW_SV(f->path()));
    f->GetEvent(e);
    RememberHandedOut(f);
    RefreshUp(parent);
}

void EventList2::HandOutDir(DirNode* s, Event_T& e) {
    s->status = PROCESSING;
    s->out_server = s->isServer();
    IncreaseRefCount(s->parent, s->out_server);
    TW_INFO(kLog, "[Pop Dir Event] = [%.*s], server = [%d], type = [%d], path = [%.*s]\n", TW_SV(s->name()),
            s->isServer() ? 1 : 0, s->type, TW_SV(s->path()));
    s->GetEvent(e);
    RememberHandedOut(s);
    RefreshUp(s);
}

int EventList2::GetFirstWaiting(DirNode* n, Event_T& e) {
    if (FileNode* f = n->waiting_files.front()) {
        HandOutFile(n, f, e);
        return 0;
    }
    // Only the sub-directories where the walk has something to do, in list
    // order; the others would be skipped without effect.
    for (auto it = n->active_dirs.begin(); it != n->active_dirs.end(); ++it) {
        DirNode* s = it->second;
        if (s->status == WAITING) {
            if (s->refServerCount == 0 && s->refLocalCount == 0) {
                if (s->type == Event::EV_REMOVE && s->hasChildren() && !IsAllSubNodeAreDeleteEvent(s)) {
                    if (s->isServer()) {
                        s->mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
                        TW_INFO(kLog, "Mark node to be SetServerSubDirRescanWithStat(sub-node not empty) [%.*s].\n",
                                TW_SV(s->path()));
                    } else {
                        s->mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
                        TW_INFO(kLog, "Mark node to be SetLocalSubDirRescanWithStat(sub-node not empty) [%.*s].\n",
                                TW_SV(s->path()));
                    }
                }
                HandOutDir(s, e);
                return 0;
            }
            // A waiting removal with processing items inside.
            if (s->type == Event::EV_REMOVE && !IsAllSubProcessingNodeAreDeleteEvent(s)) {
                if (s->isServer() && s->refLocalCount != 0) {
                    s->mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
                    TW_INFO(kLog, "Mark node to be SetServerSubDirRescanWithStat(sub-node processing) [%.*s].\n",
                            TW_SV(s->path()));
                } else if (!s->isServer() && s->refServerCount != 0) {
                    s->mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
                    TW_INFO(kLog, "Mark node to be SetLocalSubDirRescanWithStat(sub-node processing) [%.*s].\n",
                            TW_SV(s->path()));
                }
            }
            continue;
        }
        // A structural directory: when nothing in it may run, its later
        // siblings still get their turn.
        if (GetFirstWaiting(s, e) == 0) return 0;
    }
    return -1;
}

int EventList2::Pop(const ustring& path, Event_T& e) {
    std::lock_guard<std::mutex> lock(mutex);
    TW_DEBUG(kLog, "Event tree current status local_evnet: %d, server_event:%d.\n", GetLocalEventCount(),
             GetServerEventCount());
    int ret = -1;
    if (path == "/") {
        if (root->hasEvent() && root->status == RETRY) {
            root->status = PROCESSING;
            Recount(root, root);
            TW_INFO(kLog, "[Pop Event] = ['/', %llu, %s]\n", static_cast<unsigned long long>(root->syncID),
                    root->isServer() ? "server" : "local");
            root->GetEvent(e);
            ret = 0;
        }
    } else {
        ret = PopByPath(path.view(), e);
    }
    if (ret == 0 && LogEnabled(Logger::L_INFO)) TW_INFO(kLog, "[Pop Event] = [%s]\n", e.toString().c_str());
    return ret;
}

void EventList2::Recount(Node* n, DirNode* chain) {
    DecreaseRefCount(chain, n->out_server);
    n->out_server = n->isServer();
    IncreaseRefCount(chain, n->out_server);
}

int EventList2::PopByPath(std::string_view path, Event_T& e) {
    std::string_view dir_part, base;
    if (path_split::Split(path, dir_part, base) != path_split::OK) return -1;
    DirNode* parent = WalkDirs(dir_part, false);
    if (!parent) return -1;
    if (DirNode* s = FindDir(parent, base); s && s->status == RETRY) {
        s->status = PROCESSING;
        Recount(s, parent);
        s->GetEvent(e);
        RememberHandedOut(s);
        RefreshUp(s);
        return 0;
    }
    if (FileNode* f = FindFile(parent, base); f && f->status == RETRY) {
        f->status = PROCESSING;
        ++parent->processing_files;
        Recount(f, parent);
        f->GetEvent(e);
        RememberHandedOut(f);
        RefreshUp(parent);
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Done

int EventList2::DoneEvent(const Event_T& e) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string_view path = e.m_path.view();
    int ret;
    if (IsRootPath(path)) {
        ret = UpdateRoot(e);
    } else {
        std::string_view dir_part, base;
        if (path_split::Split(path, dir_part, base) != path_split::OK) return -1;
        Node* known = RecentNode(e);
        ret = e.isDir() ? UpdateDirDoneEvent(e, dir_part, base, known) : UpdateFileDoneEvent(e, dir_part, base, known);
    }
    if (LogEnabled(Logger::L_DEBUG)) TW_DEBUG(kLog, "DoneEvent ret = [%d], %s.\n", ret, e.toString().c_str());
    TW_DEBUG(kLog, "DoneEvent local event = [%d], server event = [%d]\n", GetLocalEventCount(), GetServerEventCount());
    return ret;
}

int EventList2::UpdateRoot(const Event_T& e) {
    if (root->isServer() != e.isServerEvent()) {
        TW_WARNING(kLog, "Failed to UpdateRoot(attr mode is different) [%s].\n", e.m_path.c_str());
        return -1;
    }
    if (root->status != PROCESSING) {
        TW_WARNING(kLog, "Failed to UpdateRoot (NOT PROCESSING) [%s] in status[%d].\n", e.m_path.c_str(), root->status);
        return -1;
    }
    root->status = DONE;
    DecreaseRefCount(root, root->out_server);
    root->ClearEvent();
    DecreaseCount(e.isServerEvent());
    return 0;
}

int EventList2::UpdateDirDoneEvent(const Event_T& e, std::string_view dir_part, std::string_view base, Node* known) {
    DirNode* parent = known ? known->parent : WalkDirs(dir_part, false);
    if (!parent) {
        TW_DEBUG(kLog, "Failed to UpdateDirDoneEvent(parent not found) [%s].\n", e.m_path.c_str());
        return -1;
    }
    DirNode* s = known ? static_cast<DirNode*>(known) : FindDir(parent, base);
    if (!s) {
        TW_DEBUG(kLog, "Failed to UpdateDirDoneEvent(DirNode not found) [%s].\n", e.m_path.c_str());
        return -1;
    }
    if (s->isServer() != e.isServerEvent()) {
        TW_DEBUG(kLog, "Failed to UpdateDirDoneEvent(attr mode is diff) [%s].\n", e.m_path.c_str());
        return -1;
    }
    if (s->status != PROCESSING) {
        TW_DEBUG(kLog, "Failed to UpdateDirDoneEvent(NOT PROCESSING) [%s] in status[%d].\n", e.m_path.c_str(),
                 s->status);
        return -1;
    }
    DecreaseRefCount(parent, s->out_server);
    if (!s->hasChildren()) {
        UnlinkDir(s);
        RefreshUp(RemoveDoneEventDir(s));
    } else {
        s->status = DONE;
        s->ClearEvent();
        RefreshUp(s);
    }
    DecreaseCount(e.isServerEvent());
    return 0;
}

int EventList2::UpdateFileDoneEvent(const Event_T& e, std::string_view dir_part, std::string_view base, Node* known) {
    DirNode* parent = known ? known->parent : WalkDirs(dir_part, false);
    if (!parent) {
        TW_ERROR(kLog, "Failed to UpdateFileDoneEvent(parent not found) [%s]\n", e.m_path.c_str());
        return -1;
    }
    FileNode* f = known ? static_cast<FileNode*>(known) : FindFile(parent, base);
    if (!f) {
        TW_DEBUG(kLog, "Failed to UpdateFileDoneEvent(FileNode not found) [%s].\n", e.m_path.c_str());
        return -1;
    }
    if (f->isServer() != e.isServerEvent()) {
        TW_DEBUG(kLog, "Failed to UpdateFileDoneEvent(attr mode is diff) [%s].\n", e.m_path.c_str());
        return -1;
    }
    if (f->status != PROCESSING) {
        TW_DEBUG(kLog, "Failed to UpdateFileDoneEvent(NOT PROCESSING) [%s] in status[%d].\n", e.m_path.c_str(),
                 f->status);
        return -1;
    }
    DecreaseRefCount(parent, f->out_server);
    DecreaseCount(f->isServer());
    FreeFile(parent, f);
    if (!parent->hasChildren() && parent->status == DONE && parent != root) {
        UnlinkDir(parent);
        RefreshUp(RemoveDoneEventDir(parent));
    } else {
        RefreshUp(parent);
    }
    return 0;
}

EventList2::DirNode* EventList2::RemoveDoneEventDir(DirNode* p) {
    DirNode* q = p->parent;
    FreeDir(p);
    while (q != root && !q->hasChildren() && q->status == DONE) {
        DirNode* up = q->parent;
        UnlinkDir(q);
        FreeDir(q);
        q = up;
    }
    return q;
}

// ---------------------------------------------------------------------------
// Redo

int EventList2::Redo(const Event_T& e) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string_view path = e.m_path.view();
    if (IsRootPath(path)) {
        if (root->status != PROCESSING) return -1;
        root->status = WAITING;
        DecreaseRefCount(root, root->out_server);
        return 0;
    }
    std::string_view dir_part, base;
    if (path_split::Split(path, dir_part, base) != path_split::OK) return -1;
    return SetWaitingStatus(e, dir_part, base);
}

int EventList2::SetWaitingStatus(const Event_T& e, std::string_view dir_part, std::string_view base) {
    // Everything is looked up first, so that a missing node changes nothing.
    std::vector<DirNode*> chain;
    DirNode* cur = root;
    size_t pos = 0;
    std::string_view comp;
    while (path_split::NextComponent(dir_part, pos, comp)) {
        cur = FindDir(cur, comp);
        if (!cur) return -1;
        chain.push_back(cur);
    }
    Node* n = e.isDir() ? static_cast<Node*>(FindDir(cur, base)) : FindFile(cur, base);
    // A node without an event has nothing to try again.
    if (!n || n->status == DONE) return -1;

    for (DirNode* d : chain) MoveDirToBack(d);
    const int before = n->status;
    if (before == PROCESSING || before == RETRY) DecreaseRefCount(cur, n->out_server);
    n->status = WAITING;
    if (n->is_dir) {
        MoveDirToBack(static_cast<DirNode*>(n));
        RefreshUp(static_cast<DirNode*>(n));
    } else {
        FileNode* f = static_cast<FileNode*>(n);
        if (before == PROCESSING) --cur->processing_files;
        cur->files.move_to_back(f);
        if (before == WAITING) {
            cur->waiting_files.move_to_back(f);
        } else {
            cur->waiting_files.push_back(f);
        }
        RefreshUp(cur);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Diagnostics

void EventList2::TraverseTree() {
    std::lock_guard<std::mutex> lock(mutex);
    TW_INFO(kLog, "========TraverseTree , server_event_count = [%d], local_event_count=[%d] =========\n",
            GetServerEventCount(), GetLocalEventCount());
    Traverse(root);
}

void EventList2::Traverse(const DirNode* d) const {
    TW_INFO(kLog,
            "[Dir] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%.*s],status =[%d],type[%d],refSerCount=[%d],"
            "refLocCount=[%d],path=[%.*s]\n",
            d->isServer() ? 1 : 0, (d->mode & Event::F_CONFLICT) ? 1 : 0, IsSubDirRescanMode(d->mode) ? 1 : 0,
            TW_SV(d->name()), d->status, d->type, d->refServerCount, d->refLocalCount, TW_SV(d->path()));
    for (const Node* f = d->files.front(); f; f = EventTreeNodeList::next(f)) {
        TW_INFO(kLog,
                "[File] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%.*s],status=[%d],type=[%d],path=[%.*s]\n",
                f->isServer() ? 1 : 0, (f->mode & Event::F_CONFLICT) ? 1 : 0, IsSubDirRescanMode(f->mode) ? 1 : 0,
                TW_SV(f->name()), f->status, f->type, TW_SV(f->path()));
    }
    for (const Node* s = d->dirs.front(); s; s = EventTreeNodeList::next(s)) Traverse(static_cast<const DirNode*>(s));
}

void EventList2::Print() {
    Print(std::cout);
}

void EventList2::Print(std::ostream& out) {
    std::lock_guard<std::mutex> lock(mutex);
    PrintDir(out, root, 0);
    out.flush();
}

void EventList2::PrintDir(std::ostream& out, const DirNode* d, int level) const {
    out << std::string(2 * level, ' ') << "* " << d->name() << ", "
        << "ref = (" << d->refLocalCount << ", " << d->refServerCount << "), "
        << "mode = " << ModeText(d->mode) << ", "
        << "status = " << StatusName(d->status) << ", "
        << "path = " << d->path() << "\n";
    const std::string file_indent(2 * (level + 1), ' ');
    for (const Node* f = d->files.front(); f; f = EventTreeNodeList::next(f)) {
        out << file_indent << "+ " << f->name() << ", "
            << "mode = " << ModeText(f->mode) << ", "
            << "status = " << StatusName(f->status) << ", "
            << "path = " << f->path() << "\n";
    }
    for (const Node* s = d->dirs.front(); s; s = EventTreeNodeList::next(s)) {
        PrintDir(out, static_cast<const DirNode*>(s), level + 1);
    }
}

std::vector<EventList2::NodeInfo> EventList2::Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<NodeInfo> out;
    SnapshotDir(root, ustring("/"), out);
    return out;
}

void EventList2::SnapshotDir(const DirNode* d, const ustring& path, std::vector<NodeInfo>& out) const {
    NodeInfo info;
    info.path = path;
    info.is_dir = true;
    info.status = static_cast<Status>(d->status);
    d->GetEvent(info.event);
    info.refServerCount = d->refServerCount;
    info.refLocalCount = d->refLocalCount;
    out.push_back(std::move(info));
    const ustring prefix = path == "/" ? ustring("/") : path + "/";
    for (const Node* f = d->files.front(); f; f = EventTreeNodeList::next(f)) {
        NodeInfo fi;
        fi.path = prefix + ustring(f->name());
        fi.status = static_cast<Status>(f->status);
        f->GetEvent(fi.event);
        out.push_back(std::move(fi));
    }
    for (const Node* s = d->dirs.front(); s; s = EventTreeNodeList::next(s)) {
        const DirNode* sd = static_cast<const DirNode*>(s);
        SnapshotDir(sd, prefix + ustring(sd->name()), out);
    }
}
