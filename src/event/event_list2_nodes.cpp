// The event tree's nodes: creation, look-up, unlinking and freeing, the cache
// of handed-out nodes, and the active sets that steer the hand-out walk.
#include "event/event_list2.h"

#include <functional>

#include "base/logger.h"
#include "event/event_list2_internal.h"
#include "event/path_split.h"

using namespace event_list2_internal;

namespace {

// Bytes of the strings a node keeps of an event.
size_t StringBytes(const Event& e) {
    return e.m_path.size() + e.m_data_hash.size() + e.m_opt.size() + e.m_mac_attr_hash.size();
}

}  // namespace

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
