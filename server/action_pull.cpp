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

// The answer, written straight onto the channel: a page of records as
// values would cost a few dozen allocations per record. Keys go in the
// order a map of them would send them.
class RecordWriter {
public:
    RecordWriter(Channel& ch, PStream& stream) : ch_(ch), stream_(stream) {}

    int Answer(uint64_t alive, uint64_t next, const std::vector<Entry>& records) {
        Tag(PStream::TAG_MAP);
        Key("alive");
        Int(alive);
        Key("event_list");
        Tag(PStream::TAG_ARRAY);
        for (const Entry& e : records) Record(e);
        Tag(PStream::TAG_END);
        Key("next_sync_id");
        Int(next);
        Tag(PStream::TAG_END);
        return failed_;
    }

private:
    void Record(const Entry& e) {
        const bool live = !e.is_removed;
        Tag(PStream::TAG_MAP);
        if (live && !e.is_dir) {
            Key("exec_bit");
            Tag(PStream::TAG_MAP);
            Key("exec_bit");
            Int(e.exec_bit);
            Tag(PStream::TAG_END);
            Key("file");
            Tag(PStream::TAG_MAP);
            Key("hash");
            Text(e.hash);
            Key("size");
            Int(e.size);
            Tag(PStream::TAG_END);
        }
        Key("is_dir");
        Int(e.is_dir ? 1 : 0);
        Key("is_removed");
        Int(e.is_removed ? 1 : 0);
        Key("max_id");
        Int(e.max_id);
        if (live) {
            Key("mtime");
            Tag(PStream::TAG_MAP);
            Key("mtime");
            Int(e.mtime);
            Tag(PStream::TAG_END);
        }
        Key("path");
        Text(e.path);
        Key("sync_id");
        Int(e.sync_id);
        Tag(PStream::TAG_END);
    }
    void Tag(uint8_t tag) {
        if (failed_ == 0) failed_ = ch_.WriteByte(tag);
    }
    void Key(const char* key) {
        if (failed_ == 0) failed_ = stream_.Send(ch_, ustring(key));
    }
    void Text(const std::string& text) {
        if (failed_ == 0) failed_ = stream_.Send(ch_, ustring(text));
    }
    void Int(uint64_t value) {
        if (failed_ == 0) failed_ = stream_.Send(ch_, value);
    }

    Channel& ch_;
    PStream& stream_;
    int failed_ = 0;
};

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
    answer.write = [next, records = std::move(records)](Channel& ch, PStream& stream, uint64_t alive) {
        return RecordWriter(ch, stream).Answer(alive, next, records);
    };
}

}  // namespace tw_server
