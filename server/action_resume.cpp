// "resume_get_token" and "resume_get_status": the tokens under which
// transfers survive broken connections.
#include "server/actions.h"
#include "server/server_errors.h"

namespace tw_server {

void HandleResumeGetToken(RequestContext& rc, Answer& answer) {
    if (RejectMalformed(rc, answer)) return;
    View* view = AuthorizeView(rc, answer, false);
    if (view == nullptr) return;
    std::string token;
    if (answer.Failed(view->IssueToken(token))) return;
    answer.body["resume_token"] = ustring(token);
}

void HandleResumeGetStatus(RequestContext& rc, Answer& answer) {
    std::string token;
    rc.fields.String("resume_token", token);
    if (RejectMalformed(rc, answer)) return;
    View* view = AuthorizeView(rc, answer, false);
    if (view == nullptr) return;
    uint64_t token_view = 0;
    TokenRecord record;
    bool found = false;
    // A request still busy with the token may be adding bytes or committing:
    // the answer is what it leaves.
    if (TokenView(token, token_view) && token_view == view->id() && !view->WaitIdle(token)) {
        answer.Error(SPROTO_ERR_RESUME, "the token is in use by another connection");
        return;
    }
    if (TokenView(token, token_view) && token_view == view->id() &&
        answer.Failed(view->GetToken(token, record, found))) {
        return;
    }
    if (!found || record.kind == TokenKind::Download) {
        answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "not a resume token of an upload");
        return;
    }
    uint64_t held = record.held;
    if (!record.committed && !FileSize(view->store().UploadPath(token), held)) held = 0;
    answer.body["file"]["offset"] = held;
}

}  // namespace tw_server
