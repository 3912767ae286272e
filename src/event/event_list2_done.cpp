// Finishing a handed-out event (done) or putting it back (redo).
#include "event/event_list2.h"

#include <vector>

#include "base/logger.h"
#include "event/event_list2_internal.h"
#include "event/path_split.h"

using namespace event_list2_internal;

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
