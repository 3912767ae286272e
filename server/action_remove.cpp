// "remove": the removal of an item the client last saw at a given version.
#include "base/logger.h"
#include "server/actions.h"
#include "server/server_errors.h"

namespace tw_server {

void HandleRemove(RequestContext& rc, Answer& answer) {
    uint64_t sync_id = 0, max_id = 0, node_id = 0;
    rc.fields.Integer("sync_id", sync_id);
    rc.fields.Integer("max_id", max_id);
    rc.fields.Integer("node_id", node_id, false);
    if (RejectMalformed(rc, answer)) return;
    View* view = AuthorizeView(rc, answer, true);
    if (view == nullptr) return;
    std::string path;
    if (!RequestPath(rc, answer, EventPathRoot::Refuse, path)) return;
    if (answer.Failed(view->Remove(path, sync_id, max_id))) return;
    TW_DEBUG("server", "removed %s\n", path.c_str());
}

}  // namespace tw_server
