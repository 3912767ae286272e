// The change lists of a few server views, served to "pull_event" requests
// of a ScriptedServer: a pull after sync id S answers every record of its
// view whose sync id is above S, in order, with "next_sync_id" the last
// one's (S when there is none). Requests are answered whatever their
// "condition" (tests look at the condition in the recorded requests).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_server.h"
#include "value/pobject.h"

namespace tidewell::testing {

class ServerViews {
public:
    // A change record of `view`: a file of `size` bytes (or a folder), or a
    // removal.
    void Add(uint64_t view, const std::string& path, uint64_t sync_id, bool is_dir = false, bool removed = false,
             uint64_t size = 3) {
        PObject change;
        change["path"] = path.c_str();
        change["is_dir"] = is_dir;
        change["is_removed"] = removed;
        change["sync_id"] = sync_id;
        change["max_id"] = sync_id;
        if (!is_dir) {
            change["file"]["hash"] = "0123456789abcdef0123456789abcdef";
            change["file"]["size"] = size;
        }
        change["mtime"]["mtime"] = uint64_t{1700000000};
        std::lock_guard<std::mutex> guard(mu_);
        views_[view].push_back(change);
    }

    Reply AnswerPull(const PObject& request) {
        uint64_t view = request["view_id"].asUInt64();
        uint64_t after = request["sync_id"].asUInt64();
        PObject answer;
        answer["alive"] = uint64_t{300};
        answer["event_list"].asArray();
        uint64_t next = after;
        std::lock_guard<std::mutex> guard(mu_);
        for (const PObject& change : views_[view]) {
            uint64_t id = change["sync_id"].asUInt64();
            if (id <= after) continue;
            answer["event_list"].asArray().push_back(change);
            if (id > next) next = id;
        }
        answer["next_sync_id"] = next;
        return {Answer(answer)};
    }

    // Answers the server's "pull_event" requests from now on.
    void Attach(ScriptedServer& server) {
        server.Respond("pull_event", [this](const PObject& request) { return AnswerPull(request); });
    }

private:
    std::mutex mu_;  // guards views_
    std::map<uint64_t, std::vector<PObject>> views_;
};

// The pulls the server received, in order; `with_condition` picks the
// progress syncer's (true) or the event puller's (false).
inline std::vector<PObject> Pulls(const ScriptedServer& server, bool with_condition) {
    std::vector<PObject> out;
    for (const ReceivedRequest& r : server.requests()) {
        if (r.request["action"].asString() != "pull_event") continue;
        if (r.request.hasMember("condition") == with_condition) out.push_back(r.request);
    }
    return out;
}

}  // namespace tidewell::testing
