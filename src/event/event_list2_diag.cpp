// Diagnostics: the log walk, the printed tree and the snapshot.
#include "event/event_list2.h"

#include <iostream>
#include <string>
#include <functional>
#include <unordered_set>
#include <utility>

#include "base/logger.h"
#include "event/event_list2_internal.h"

using namespace event_list2_internal;

namespace {

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

// ---------------------------------------------------------------------------
// Invariant check

namespace {

struct Tally {
    int server = 0;  // nodes holding a server event
    int local = 0;
    int out_server = 0;  // handed-out nodes by the origin they count under
    int out_local = 0;
};

}  // namespace

bool EventList2::CheckInvariants(std::string* problem) {
    std::lock_guard<std::mutex> lock(mutex);
    std::string why;
    auto fail = [&why](const std::string& what, std::string_view path) {
        if (why.empty()) why = what + " at '" + std::string(path) + "'";
        return false;
    };
    auto is_out = [](const Node* n) { return n->status == PROCESSING || n->status == RETRY; };
    std::unordered_set<const Node*> live;

    // Returns false on the first violation; `t` sums the sub-tree of `d`,
    // `d` itself included.
    std::function<bool(const DirNode*, const std::string&, Tally&)> walk = [&](const DirNode* d,
                                                                             const std::string& path,
                                                                             Tally& t) -> bool {
        const std::string_view where = d == root ? std::string_view("/") : d->name();
        if (d->hasEvent() != (d->status != DONE)) return fail("event and status disagree", where);
        if (d != root && d->status == DONE && !d->hasChildren()) return fail("empty structural directory", where);
        if (d->hasEvent() && d->path() != path) return fail("event path is not the node's path", path);
        const std::string prefix = d == root ? "/" : path + "/";
        live.insert(d);
        if (d->hasEvent()) (d->isServer() ? t.server : t.local)++;

        int waiting = 0, processing = 0;
        const FileNode* next_waiting = d->waiting_files.front();
        for (const Node* n = d->files.front(); n; n = EventTreeNodeList::next(n)) {
            const FileNode* f = static_cast<const FileNode*>(n);
            if (f->is_dir || f->parent != d) return fail("file linked under the wrong directory", f->name());
            if (index_.Find(d, false, f->name()) != f) return fail("file missing from the index", f->name());
            if (f->status == DONE || !f->hasEvent()) return fail("file without an event", f->name());
            if (f->path() != prefix + std::string(f->name())) return fail("event path is not the node's path", f->path());
            live.insert(f);
            (f->isServer() ? t.server : t.local)++;
            if (is_out(f)) (f->out_server ? t.out_server : t.out_local)++;
            if (f->status == PROCESSING) ++processing;
            if (f->status == WAITING) {
                if (f != next_waiting) return fail("waiting files out of list order", f->name());
                next_waiting = EventTreeWaitList::next(f);
                ++waiting;
            }
        }
        if (next_waiting || static_cast<size_t>(waiting) != d->waiting_files.size())
            return fail("waiting set holds a file that is not waiting", where);
        if (processing != d->processing_files) return fail("processing count is off", where);

        // Sub-directories: list order is ascending seq, and active_dirs holds
        // exactly the active ones.
        uint64_t last_seq = 0;
        size_t active = 0;
        int below_server = 0, below_local = 0;
        for (const Node* n = d->dirs.front(); n; n = EventTreeNodeList::next(n)) {
            const DirNode* s = static_cast<const DirNode*>(n);
            if (!s->is_dir || s->parent != d) return fail("directory linked under the wrong parent", s->name());
            if (index_.Find(d, true, s->name()) != s) return fail("directory missing from the index", s->name());
            if (s->seq <= last_seq) return fail("sibling order and seq disagree", s->name());
            last_seq = s->seq;
            if (s->active != IsActive(s)) return fail("stale active flag", s->name());
            if (s->active != (d->active_dirs.count({s->seq, const_cast<DirNode*>(s)}) == 1))
                return fail("active set and flag disagree", s->name());
            if (s->active) ++active;
            Tally sub;
            if (!walk(s, prefix + std::string(s->name()), sub)) return false;
            t.server += sub.server;
            t.local += sub.local;
            below_server += sub.out_server;
            below_local += sub.out_local;
        }
        if (active != d->active_dirs.size()) return fail("active set holds a stale directory", where);

        // Handed-out items strictly inside, plus the root's own event.
        below_server += t.out_server;
        below_local += t.out_local;
        if (d == root && is_out(d)) (d->out_server ? below_server : below_local)++;
        if (d->refServerCount != below_server || d->refLocalCount != below_local)
            return fail("reference counts do not match what is handed out", where);
        t.out_server = below_server;
        t.out_local = below_local;
        if (d != root && is_out(d)) (d->out_server ? t.out_server : t.out_local)++;
        return true;
    };

    Tally total;
    bool ok = walk(root, "/", total);
    if (ok) {
        std::lock_guard<std::mutex> count_lock(mutex_count);
        if (total.server != server_event_count || total.local != local_event_count)
            ok = fail("counters do not match the nodes holding events", "/");
    }
    if (ok) {
        for (size_t slot = 0; slot < kRecentSlots && ok; ++slot) {
            const Node* n = recent_[slot];
            if (!n) continue;
            if (live.count(n) == 0) {
                ok = fail("cache holds a freed node", "?");
            } else if (n->recent_slot != slot) {
                ok = fail("cache slot and node disagree", n->name());
            }
        }
    }
    if (!ok && problem) *problem = why;
    return ok;
}
