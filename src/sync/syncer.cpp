#include "sync/syncer.h"

#include <chrono>
#include <thread>

#include "base/logger.h"
#include "net/connection_manager.h"
#include "net/error_codes.h"
#include "protocol/proto_common.h"
#include "store/file_event_db.h"
#include "store/progress_cache.h"
#include "sync/event_generator.h"
#include "sync/event_manager.h"
#include "sync/pull_request.h"
#include "sync/server_event_wait.h"
#include "sync/sync_error_table.h"

namespace {

const char* const kComponent = "syncer_debug";

using ull = unsigned long long;

// ProcessEvents' result when the workers made no progress: the pass is
// over, nothing is stored, and the next session is served at once.
constexpr int kStuck = 1;

}  // namespace

Syncer::Syncer() : Syncer(Options()) {}

Syncer::Syncer(const Options& o)
    : PullTask(&SyncerSessionForm, o.limits, o.short_wait, o.long_wait, kComponent), options(o) {}

Syncer::~Syncer() {
    Stop();
    Join();
}

int Syncer::Resume() {
    last_error = 0;
    return PullTask::Resume();
}

void Syncer::AddRescanEvent(uint64_t sess_id, bool merge) {
    std::lock_guard<std::mutex> guard(rescan_events_lock);
    rescan_events[sess_id] = merge;
}

void Syncer::DoTask() {
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            TW_DEBUG(kComponent, "Syncer: stop working, now on view_id %llu, sync_id %llu.\n",
                     (ull)context.entry.view_id, (ull)context.sync_id);
            return;
        }
        if (state == PAUSE) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        if (UpdateContext() < 0 || !IsSessionReady()) {
            Wait(1);
            continue;
        }
        Wait(WaitFor(HandleError(PullEvent())));
    }
}

int Syncer::UpdateContext() {
    uint64_t current = context.entry.sess_id;
    Registry::Entry next;
    if (Registry::getInstance().FindNext(current, next) == 0) {
        TW_DEBUG(kComponent, "invalid session id %llu\n", (ull)current);
        context.clear();
        return -1;
    }
    context.sync_id = 0;
    // The session becomes current even without a connection, so that the
    // next pass moves on to the session after it: one unconnected session
    // must not keep every later one from being served.
    context.entry = next;
    Connection connection;
    if (ConnectionManager::getInstance().get(next.conn_id, connection) < 0) {
        TW_ERROR(kComponent, "invalid connection id %llu\n", (ull)next.conn_id);
        context.connection.clear();
        return -1;
    }
    context.connection = connection;
    return 0;
}

bool Syncer::IsSessionReady() {
    uint64_t sess_id = context.entry.sess_id;
    if (ProgressCache::getInstance().isInProgrssCache(sess_id)) {
        TW_INFO(kComponent, "session '%llu' is in ProgrssCache.\n", (ull)sess_id);
        return false;
    }
    if (context.entry.pause) return false;
    if (EventManager::getInstance().GetPendingServerEvent(sess_id) != 0) {
        TW_DEBUG(kComponent, "session '%llu' still has server events in event queue.\n", (ull)sess_id);
        return false;
    }
    return true;
}

int Syncer::PullEvent() {
    PObject response;
    int ret = PullEventFromServer(response);
    if (ret < 0) return ret;
    return ProcessEvents(response) < 0 ? ERR_INT : 0;
}

int Syncer::PullEventFromServer(PObject& response) {
    const Registry::Entry& entry = context.entry;
    uint64_t sync_id = 0;
    if (!entry.event_db || entry.event_db->getSyncId(sync_id) < 0) {
        TW_ERROR(kComponent, "Syncer: failed to get base sync id ... starts from 0\n");
        return ERR_SYS;
    }
    context.sync_id = sync_id;
    PObject request;
    BuildPullRequest(entry, context.connection.getConnectionInfo(), sync_id, request);
    TW_DEBUG(kComponent, "Syncer: pull event by session %llu (%llu:%s) since %llu\n", (ull)entry.sess_id,
             (ull)entry.view_id, entry.remote_path.c_str(), (ull)sync_id);
    int ret = ProtoPullEvent(request, response);
    if (ret < 0) return ret;
    return CheckPullAnswer(response, sync_id, kComponent);
}

int Syncer::ProtoPullEvent(const PObject& request, PObject& response) {
    SessionStage failed = SessionStage::kNone;
    int ret = RunPooledRequest(context.connection, context.entry.view_id, SCMD_EVT_PULL, request, response, form,
                               &failed);
    if (failed == SessionStage::kHandshake)
        TW_ERROR(kComponent, "ProtoPullEvent: fail to establish communication channel\n");
    else if (failed == SessionStage::kRequest)
        TW_ERROR(kComponent, "ProtoPullEvent: fail to pull events. %d.\n", ret);
    return ret;
}

int Syncer::ProcessEvents(const PObject& response) {
    uint64_t sess_id = context.entry.sess_id;
    uint64_t next = response["next_sync_id"].asUInt64();
    if (next != context.sync_id) {
        uptodate_set.erase(sess_id);
        for (const PObject& change : response["event_list"].asArray()) PushEvent(context.entry, change);
        int waited = WaitForWorkers();
        if (waited < 0) {
            TW_NOTE(kComponent, "ProcessEvents: interrupted while waiting events being done ...\n");
            return -1;
        }
        if (waited == kStuck) return 0;
        StoreSyncId(next);
        return 0;
    }
    SendRescanEvent(sess_id);
    uptodate_set.insert(sess_id);
    TW_DEBUG(kComponent, "session '%llu' is uptodate.\n", (ull)sess_id);
    if (uptodate_set.size() >= Registry::getInstance().Size()) {
        TW_DEBUG(kComponent, "all session is uptodate, wait for 5 seconds.\n");
        uptodate_set.clear();
        Wait(options.uptodate_rest);
    }
    return 0;
}

int Syncer::WaitForWorkers() {
    uint64_t sess_id = context.entry.sess_id;
    ServerEventWait outcome =
        WaitForServerEvents(*this, EventManager::getInstance(), sess_id, options.stuck_seconds, kComponent);
    if (outcome == ServerEventWait::kDone) return 0;
    if (outcome != ServerEventWait::kStuck) return -1;
    // The session stays not ready while its events are pending; once they
    // are gone it pulls again from the stored id, and the echo rule drops
    // what was carried out meanwhile.
    if (stuck_warned.insert(sess_id).second)
        TW_WARNING(kComponent,
                   "session %llu: its server events made no progress for %u s; the other sessions go on, and its "
                   "sync id stays at %llu until they are done\n",
                   (ull)sess_id, options.stuck_seconds, (ull)context.sync_id);
    return kStuck;
}

void Syncer::StoreSyncId(uint64_t next) {
    uint64_t sess_id = context.entry.sess_id;
    int stored = context.entry.event_db->setSyncIdIf(context.sync_id, next);
    if (stored == 1) {
        stuck_warned.erase(sess_id);
    } else if (stored == 0) {
        // Reset meanwhile (a switch to recursive sets 0 so that everything
        // is fetched again): storing `next` would undo that.
        TW_INFO(kComponent, "session %llu: sync id changed while its events were carried out, %llu is not stored\n",
                (ull)sess_id, (ull)next);
    } else {
        TW_ERROR(kComponent, "session %llu: failed to store sync id %llu\n", (ull)sess_id, (ull)next);
    }
}

void Syncer::SendRescanEvent(uint64_t sess_id) {
    bool merge = false;
    {
        std::lock_guard<std::mutex> guard(rescan_events_lock);
        auto it = rescan_events.find(sess_id);
        if (it == rescan_events.end()) return;
        merge = it->second;
        rescan_events.erase(it);
    }
    TW_INFO(kComponent, "session #%llu is up-to-date, issue rescan\n", (ull)sess_id);
    EventManager::getInstance().IssueRescan(sess_id, "/", merge);
}

int Syncer::HandleError(int err) {
    return tw_sync::HandleSyncError(err, context.entry.conn_id, context.entry.sess_id, kComponent, "Syncer");
}
