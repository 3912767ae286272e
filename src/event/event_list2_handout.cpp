// Handing out the next runnable event, and a retried event by its path.
#include "event/event_list2.h"

#include "base/logger.h"
#include "event/event_list2_internal.h"
#include "event/path_split.h"

using namespace event_list2_internal;

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
    return PopRetry(path, kAnyKind, e);
}

int EventList2::Pop(const ustring& path, bool is_dir, Event_T& e) {
    return PopRetry(path, is_dir ? kDirOnly : kFileOnly, e);
}

int EventList2::PopRetry(const ustring& path, Kind kind, Event_T& e) {
    std::lock_guard<std::mutex> lock(mutex);
    TW_DEBUG(kLog, "Event tree current status local_evnet: %d, server_event:%d.\n", GetLocalEventCount(),
             GetServerEventCount());
    int ret = -1;
    if (path == "/") {
        if (kind != kFileOnly && root->hasEvent() && root->status == RETRY) {
            root->status = PROCESSING;
            Recount(root, root);
            TW_INFO(kLog, "[Pop Event] = ['/', %llu, %s]\n", static_cast<unsigned long long>(root->syncID),
                    root->isServer() ? "server" : "local");
            root->GetEvent(e);
            ret = 0;
        }
    } else {
        ret = PopByPath(path.view(), kind, e);
    }
    if (ret == 0 && LogEnabled(Logger::L_INFO)) TW_INFO(kLog, "[Pop Event] = [%s]\n", e.toString().c_str());
    return ret;
}

void EventList2::Recount(Node* n, DirNode* chain) {
    DecreaseRefCount(chain, n->out_server);
    n->out_server = n->isServer();
    IncreaseRefCount(chain, n->out_server);
}

int EventList2::PopByPath(std::string_view path, Kind kind, Event_T& e) {
    std::string_view dir_part, base;
    if (path_split::Split(path, dir_part, base) != path_split::OK) return -1;
    DirNode* parent = WalkDirs(dir_part, false);
    if (!parent) return -1;
    if (DirNode* s = kind != kFileOnly ? FindDir(parent, base) : nullptr; s && s->status == RETRY) {
        s->status = PROCESSING;
        Recount(s, parent);
        s->GetEvent(e);
        RememberHandedOut(s);
        RefreshUp(s);
        return 0;
    }
    if (FileNode* f = kind != kDirOnly ? FindFile(parent, base) : nullptr; f && f->status == RETRY) {
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
