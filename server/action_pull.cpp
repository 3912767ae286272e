// "pull_event": one page of the change records below a folder of the view.
#include "server/actions.h"
#include "server/server_errors.h"

namespace tw_server {

namespace {

// The progress syncer's "condition": exactly one of its forms.
bool ReadCondition(RequestFields& fields, PullCondition& condition, std::string& problem) {
    const PObject* map = fields.Map("condition", false);
    if (!fields.ok()) {
        problem = fields.problem();
        return false;
    }
    if (map == nullptr) return true;
    int forms = 0;
    std::string text;
    if (fields.Has("condition.extension")) {
        ++forms;
        condition.kind = PullCondition::Extension;
        fields.String("condition.extension", condition.text);
    }
    if (fields.Has("condition.prefix")) {
        ++forms;
        condition.kind = PullCondition::Prefix;
        fields.String("condition.prefix", condition.text);
    }
    if (fields.Has("condition.name")) {
        ++forms;
        condition.kind = PullCondition::Name;
        fields.String("condition.name", condition.text);
    }
    if (fields.Has("condition.min_size") || fields.Has("condition.max_size")) {
        ++forms;
        condition.kind = PullCondition::Size;
        fields.Integer("condition.min_size", condition.min_size);
        fields.Integer("condition.max_size", condition.max_size);
    }
    if (!fields.ok()) {
        problem = fields.problem();
        return false;
    }
    if (forms != 1) {
        problem = "\"condition\" must hold exactly one of extension, prefix, name or min_size and max_size";
        return false;
    }
    if (condition.kind != PullCondition::Size && condition.text.empty()) {
        problem = "an empty condition";
        return false;
    }
    if (condition.kind == PullCondition::Size && condition.min_size > condition.max_size) {
        problem = "condition.min_size is above condition.max_size";
        return false;
    }
    return true;
}

PObject Record(const Entry& e) {
    PObject r;
    r["path"] = ustring(e.path);
    r["is_dir"] = e.is_dir;
    r["is_removed"] = e.is_removed;
    r["sync_id"] = e.sync_id;
    r["max_id"] = e.max_id;
    if (!e.is_removed) {
        if (!e.is_dir) {
            r["file"]["hash"] = ustring(e.hash);
            r["file"]["size"] = e.size;
            r["exec_bit"]["exec_bit"] = uint64_t{e.exec_bit};
        }
        r["mtime"]["mtime"] = e.mtime;
    }
    return r;
}

}  // namespace

void HandlePullEvent(RequestContext& rc, Answer& answer) {
    uint64_t sync_id = 0, node_id = 0, offset = 0;
    bool recursive = true;
    rc.fields.Integer("sync_id", sync_id);
    rc.fields.Bool("recursive", recursive);
    rc.fields.Integer("node_id", node_id, false);
    rc.fields.Integer("file.offset", offset, false);
    rc.fields.Integer("mtime.offset", offset, false);
    PullCondition condition;
    std::string problem;
    if (!ReadCondition(rc.fields, condition, problem)) {
        answer.Error(kMalformedRequest, problem);
        return;
    }
    if (RejectMalformed(rc, answer)) return;
    View* view = AuthorizeView(rc, answer, false);
    if (view == nullptr) return;
    std::string folder;
    if (!RequestPath(rc, answer, EventPathRoot::Allow, folder)) return;

    std::vector<Entry> records;
    uint64_t next = sync_id;
    if (answer.Failed(
            view->Pull(folder, recursive, sync_id, condition, rc.server.options().page_size, records, next))) {
        return;
    }
    answer.body["next_sync_id"] = next;
    PObject::vector& list = answer.body["event_list"].asArray();
    list.reserve(records.size());
    for (const Entry& e : records) list.push_back(Record(e));
}

}  // namespace tw_server
