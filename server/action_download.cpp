// "resume_download": the current version of an item, as a patch against
// the client's version when that one is kept (and the patch is smaller),
// whole otherwise. Under a resume token the payload is pinned on first
// use, so that a resumed download at `file.offset` gets the rest of the
// very same bytes even if the item has changed since.
#include <unistd.h>

#include "protocol/proto_common.h"
#include "server/actions.h"
#include "server/patches.h"
#include "server/server_errors.h"

namespace tw_server {

namespace {

void AnswerVersion(Answer& answer, const TokenRecord& v, const std::string& payload, uint64_t offset) {
    answer.body["sync_id"] = v.sync_id;
    answer.body["max_id"] = v.max_id;
    answer.body["is_dir"] = v.is_dir;
    answer.body["mtime"]["refer"] = false;
    answer.body["mtime"]["mtime"] = v.mtime;
    if (v.is_dir) return;
    answer.body["exec_bit"]["refer"] = false;
    answer.body["exec_bit"]["exec_bit"] = uint64_t{v.exec_bit};
    PObject& file = answer.body["file"];
    file["size"] = v.size;
    file["hash"] = ustring(v.hash);
    file["refer"] = v.refer;
    if (v.refer) return;
    file["is_delta"] = v.is_delta;
    file["data"] = PObject::binary_type{offset, v.payload_size - offset, ustring(payload)};
}

TokenRecord VersionOf(const Entry& e) {
    TokenRecord v;
    v.sync_id = e.sync_id;
    v.max_id = e.max_id;
    v.is_dir = e.is_dir;
    v.file_id = e.file_id;
    v.size = e.size;
    v.hash = e.hash;
    v.mtime = e.mtime;
    v.exec_bit = e.exec_bit;
    v.payload_size = e.size;
    return v;
}

}  // namespace

void HandleResumeDownload(RequestContext& rc, Answer& answer) {
    const bool resumable = rc.command == SCMD_RESUME_TRANSFER;
    uint64_t sync_id = 0, ignored = 0, offset = 0;
    bool force = false;
    std::string token;
    rc.fields.Integer("sync_id", sync_id);
    rc.fields.Integer("max_id", ignored, false);
    rc.fields.Integer("target_sync_id", ignored, false);
    rc.fields.Integer("node_id", ignored, false);
    rc.fields.Integer("file.offset", offset, false);
    rc.fields.Integer("mtime.offset", ignored, false);
    rc.fields.Bool("force_current_version", force, false);
    rc.fields.String("resume_token", token, resumable);
    if (RejectMalformed(rc, answer)) return;
    View* view = AuthorizeView(rc, answer, false);
    if (view == nullptr) return;
    std::string path;
    if (!RequestPath(rc, answer, EventPathRoot::Refuse, path)) return;

    TokenRecord record;
    const bool has_token = !token.empty();
    if (has_token) {
        uint64_t token_view = 0;
        bool found = false;
        if (TokenView(token, token_view) && token_view == view->id() &&
            answer.Failed(view->GetToken(token, record, found))) {
            return;
        }
        if (!found || record.kind == TokenKind::Upload || (record.kind == TokenKind::Download && record.path != path)) {
            answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "not a resume token of a download of this path");
            return;
        }
        if (!view->TryBusy(token)) {
            answer.Error(SPROTO_ERR_RESUME, "the token is in use by another connection");
            return;
        }
        answer.finish.push_back([view, token](bool) { view->Unbusy(token); });
    }

    if (offset > 0) {
        // The rest of the payload the token pinned.
        if (!has_token || record.kind != TokenKind::Download || record.is_dir || record.refer) {
            answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "no download to resume under this token");
            return;
        }
        std::string payload = record.payload;
        uint64_t size = 0;
        if (record.is_delta) {
            if (!FileSize(payload, size) || size != record.payload_size) {
                answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "the patch of this download is gone");
                return;
            }
        } else {
            if (!view->Pin(record.file_id, &record.hash)) {
                answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "the version of this download is gone");
                return;
            }
            uint64_t file_id = record.file_id;
            answer.finish.push_back([view, file_id](bool) { view->Unpin(file_id); });
            payload = view->store().BlobPath(file_id);
        }
        if (offset > record.payload_size) {
            answer.Error(SPROTO_ERR_RESUME, "file.offset is beyond the payload");
            return;
        }
        AnswerVersion(answer, record, payload, offset);
        return;
    }

    DownloadPlan plan;
    if (answer.Failed(view->PlanDownload(path, sync_id, plan))) return;
    TokenRecord version = VersionOf(plan.entry);
    version.token = record.token;
    version.created = record.created;
    version.used = record.used;
    version.kind = TokenKind::Download;
    version.path = path;
    version.refer = plan.refer;
    std::string payload;
    if (!plan.entry.is_dir && !plan.refer) {
        uint64_t file_id = plan.entry.file_id;
        answer.finish.push_back([view, file_id](bool) { view->Unpin(file_id); });
        payload = view->store().BlobPath(file_id);
        if (plan.base_file_id != 0) {
            std::string patch = has_token ? view->store().PayloadPath(token) : view->store().TempPath();
            uint64_t size = 0;
            if (BuildPatch(view->store(), plan.base_file_id, file_id, patch, size) == 0 && size < plan.entry.size) {
                version.is_delta = true;
                version.payload = patch;
                version.payload_size = size;
                payload = patch;
                if (!has_token) answer.finish.push_back([patch](bool) { unlink(patch.c_str()); });
            } else {
                unlink(patch.c_str());
            }
            view->Unpin(plan.base_file_id);
        }
    }
    if (has_token && answer.Failed(view->PutToken(version))) return;
    AnswerVersion(answer, version, payload, 0);
}

}  // namespace tw_server
