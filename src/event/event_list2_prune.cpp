// Dropping the pending events that a directory removal makes pointless.
#include "event/event_list2.h"

#include "base/logger.h"
#include "event/event_list2_internal.h"

using namespace event_list2_internal;

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
