// The actions the server serves, one handler each, and the checks they
// share. A handler reads the request, does the work and fills the answer;
// the connection adds "alive", sends it and runs its finish steps.
//
// Every request but "encrypt_channel" and "connect" needs an admitted
// connection and names its own session and view, checked in this order:
// a malformed request (SPROTO_ERR_VERSION), the session token
// (SPROTO_ERR_SESSION_MISS), the view (SPROTO_ERR_INVALID_VIEW_ID), a
// write to a read-only view (SPROTO_ERR_READ_ONLY), the path
// (SPROTO_ERR_VIEW_INVALID_PATH).
#pragma once

#include <string>

#include "fs/event_path.h"
#include "server/request_context.h"

namespace tw_server {

using ActionHandler = void (*)(RequestContext&, Answer&);

struct ActionEntry {
    const char* name;
    uint8_t command;
    uint8_t other_command;  // a second command it may come with, or 0
    bool needs_admission;
    ActionHandler handler;
};

// The action of that name, or null.
const ActionEntry* FindAction(const std::string& name);

void HandleEncryptChannel(RequestContext& rc, Answer& answer);
void HandleConnect(RequestContext& rc, Answer& answer);
void HandlePullEvent(RequestContext& rc, Answer& answer);
void HandleUpload(RequestContext& rc, Answer& answer);
void HandleResumeUpload(RequestContext& rc, Answer& answer);
void HandleResumeGetToken(RequestContext& rc, Answer& answer);
void HandleResumeGetStatus(RequestContext& rc, Answer& answer);
void HandleResumeDownload(RequestContext& rc, Answer& answer);
void HandleRemove(RequestContext& rc, Answer& answer);

// Shared checks; each answers the error itself and returns false (or null).
bool RejectMalformed(RequestContext& rc, Answer& answer);
View* AuthorizeView(RequestContext& rc, Answer& answer, bool write);
bool RequestPath(RequestContext& rc, Answer& answer, EventPathRoot root, std::string& path);

// The view a resume token belongs to (tokens are "<view id>-<32 hex>").
bool TokenView(const std::string& token, uint64_t& view_id);

}  // namespace tw_server
