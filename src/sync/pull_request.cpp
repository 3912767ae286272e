#include "sync/pull_request.h"

#include "base/logger.h"
#include "net/error_codes.h"
#include "protocol/proto_common.h"
#include "protocol/server_error.h"

void BuildPullRequest(const Registry::Entry& entry, const ConnectionInfo& info, uint64_t sync_id, PObject& request) {
    InitRequest(request, "pull_event");
    request["sync_id"] = sync_id;
    request["session"] = info.session;
    request["path"] = entry.remote_path;
    request["view_id"] = entry.view_id;
    request["node_id"] = entry.node_id;
    request["recursive"] = entry.recursive;
    request["file"]["offset"] = uint64_t{0};
    request["mtime"]["offset"] = uint64_t{0};
}

int CheckPullAnswer(const PObject& response, uint64_t sync_id, const char* component) {
    if (response.hasMember("error")) {
        TW_ERROR(component, "PullEvent: response: %s.\n", response["error"].toString().c_str());
        return ResponseErrorCode(response, ServerErrorTable::kSyncer, component);
    }
    const PObject& next = response["next_sync_id"];
    if (!next.isInteger()) {
        TW_ERROR(component, "PullEvent: the answer has no next_sync_id, nothing is taken: %s.\n",
                 response.toString().c_str());
        return ERR_SERVER;
    }
    if (next.asUInt64() != sync_id && !response["event_list"].isArray()) {
        TW_ERROR(component, "PullEvent: the answer moves to sync id %llu without an event_list, nothing is taken.\n",
                 static_cast<unsigned long long>(next.asUInt64()));
        return ERR_SERVER;
    }
    return 0;
}
