// Diagnostics: the log walk, the printed tree and the snapshot.
#include "event/event_list2.h"

#include <iostream>
#include <string>
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

