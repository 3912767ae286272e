#include "protocol/proto_common.h"
#include "server/actions.h"
#include "server/server_errors.h"
#include "server/server_paths.h"

namespace tw_server {

const ActionEntry* FindAction(const std::string& name) {
    static const ActionEntry kActions[] = {
        {"encrypt_channel", SCMD_REQUEST_SSL_2, 0, false, HandleEncryptChannel},
        {"connect", SCMD_REQUEST_CONNECT, 0, false, HandleConnect},
        {"pull_event", SCMD_EVT_PULL, 0, true, HandlePullEvent},
        {"upload", SCMD_EVT_RECV_4, 0, true, HandleUpload},
        {"resume_upload", SCMD_RESUME_TRANSFER, 0, true, HandleResumeUpload},
        {"resume_get_token", SCMD_RESUME_TRANSFER, 0, true, HandleResumeGetToken},
        {"resume_get_status", SCMD_RESUME_TRANSFER, 0, true, HandleResumeGetStatus},
        // The non-resumable form of a download comes with its own command.
        {"resume_download", SCMD_RESUME_TRANSFER, SCMD_EVT_SEND_2, true, HandleResumeDownload},
        {"remove", SCMD_EVT_REMOVE, 0, true, HandleRemove},
    };
    for (const ActionEntry& declared : kActions) {
        if (name == declared.name) return &declared;
    }
    return nullptr;
}

bool RejectMalformed(RequestContext& rc, Answer& answer) {
    if (rc.fields.ok() && !rc.receipt.unexpected) return false;
    answer.Error(kMalformedRequest, rc.receipt.unexpected ? "a binary value where none belongs" : rc.fields.problem());
    return true;
}

View* AuthorizeView(RequestContext& rc, Answer& answer, bool write) {
    const PObject& session = rc.request["session"];
    if (!session.isString() || !rc.server.KnownSession(session.asString().str())) {
        answer.Error(SPROTO_ERR_SESSION_MISS, "unknown session");
        return nullptr;
    }
    const PObject& view_id = rc.request["view_id"];
    View* view = view_id.isInteger() ? rc.server.FindView(view_id.asInteger()) : nullptr;
    if (view == nullptr) {
        answer.Error(SPROTO_ERR_INVALID_VIEW_ID, "no such view");
        return nullptr;
    }
    if (write && view->config().read_only) {
        answer.Error(SPROTO_ERR_READ_ONLY, "the view is read-only");
        return nullptr;
    }
    return view;
}

bool RequestPath(RequestContext& rc, Answer& answer, EventPathRoot root, std::string& path) {
    if (!rc.fields.String("path", path)) {
        answer.Error(kMalformedRequest, rc.fields.problem());
        return false;
    }
    const char* problem = rc.fields.HadNul("path") ? "NUL byte in path" : ViewPathProblem(path, root);
    if (problem != nullptr) {
        answer.Error(SPROTO_ERR_VIEW_INVALID_PATH, std::string("invalid path: ") + problem);
        return false;
    }
    return true;
}

bool TokenView(const std::string& token, uint64_t& view_id) {
    size_t dash = token.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 19 || token.size() != dash + 33) return false;
    view_id = 0;
    for (size_t i = 0; i < dash; ++i) {
        if (token[i] < '0' || token[i] > '9') return false;
        view_id = view_id * 10 + static_cast<uint64_t>(token[i] - '0');
    }
    for (size_t i = dash + 1; i < token.size(); ++i) {
        char c = token[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return view_id != 0;
}

}  // namespace tw_server
