#include "sync/progress_syncer.h"

#include <chrono>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "filter/filter_utils.h"
#include "net/connection_manager.h"
#include "net/error_codes.h"
#include "protocol/proto_common.h"
#include "store/filter_db.h"
#include "store/filter_info.h"
#include "sync/event_generator.h"
#include "sync/event_manager.h"
#include "sync/pull_request.h"
#include "sync/server_event_wait.h"
#include "sync/sync_error_table.h"

namespace {

const char* const kComponent = "progress_syncer_debug";

using ull = unsigned long long;

constexpr int kStuck = 1;

}  // namespace

ProgressSyncer::ProgressSyncer() : ProgressSyncer(Options()) {}

ProgressSyncer::ProgressSyncer(const Options& o)
    : PullTask(&ProgressSyncerSessionForm, o.limits, o.short_wait, o.long_wait, kComponent), options(o) {}

ProgressSyncer::~ProgressSyncer() {
    Stop();
    Join();
}

void ProgressSyncer::DoTask() {
    TW_DEBUG(kComponent, "ProgressSyncer START.\n");
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            TW_DEBUG(kComponent, "ProgressSyncer : stop working, now on sess_id = %llu, sync_id = %llu.\n",
                     (ull)context.progress_entry.condition.sess_id, (ull)context.progress_entry.condition.sync_id);
            return;
        }
        if (state == PAUSE) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        if (UpdateContext() < 0) {
            Wait(1);
            continue;
        }
        Wait(WaitFor(HandleError(PullEvent())));
    }
}

void ProgressSyncer::SetConnectionState(ConnectionState state) {
    std::lock_guard<std::mutex> guard(conn_state_lock);
    conn_state = state;
}

int ProgressSyncer::UpdateContext() {
    std::vector<ProgressCache::Entry> entries;
    ProgressCache::getInstance().getProgressEntries(entries);
    for (const ProgressCache::Entry& candidate : entries) {
        const ResumeCondition& c = candidate.condition;
        Registry::Entry reg_entry;
        if (Registry::getInstance().Find(c.sess_id, reg_entry) != 1) {
            TW_ERROR(kComponent, "Cannot find corresponding registry entry for sess_id '%llu'.\n", (ull)c.sess_id);
            continue;
        }
        Connection connection;
        if (ConnectionManager::getInstance().get(reg_entry.conn_id, connection) < 0) {
            TW_ERROR(kComponent, "ProgressSyncer: connection (with id = %llu) is gone\n", (ull)reg_entry.conn_id);
            continue;
        }
        if (!IsSessionReady(reg_entry)) continue;

        context.row_id = candidate.row_id;
        context.progress_entry = candidate;
        context.reg_entry = reg_entry;
        context.connection = connection;
        TW_DEBUG(kComponent,
                 "Find an resume_condition (%llu): sess_id (%llu), sync_id (%llu), type (%d), desc [%s].\n",
                 (ull)candidate.row_id, (ull)c.sess_id, (ull)c.sync_id, c.filter_type, c.filter_desc.c_str());
        return 0;
    }
    context.clear();
    return -1;
}

bool ProgressSyncer::IsSessionReady(const Registry::Entry& entry) {
    if (entry.pause) {
        TW_DEBUG(kComponent, "session (%llu) is under pause status.\n", (ull)entry.sess_id);
        return false;
    }
    size_t pending = EventManager::getInstance().GetPendingServerEvent(entry.sess_id);
    if (pending != 0) {
        TW_DEBUG(kComponent, "session (%llu) still has '%zu' pending server events.\n", (ull)entry.sess_id, pending);
        return false;
    }
    return true;
}

int ProgressSyncer::PullEvent() {
    PObject request;
    PObject response;
    PrepareRequest(request);
    int ret = ProtoPullEvent(request, response);
    if (ret < 0) {
        TW_ERROR(kComponent, "PullEvent: fail to pull events. %d.\n", ret);
        return ret;
    }
    ret = CheckPullAnswer(response, context.progress_entry.condition.sync_id, kComponent);
    if (ret < 0) return ret;
    if (ProcessEvents(response) < 0) {
        TW_ERROR(kComponent, "PullEvent: fail to process event.\n");
        return ERR_INT;
    }
    return 0;
}

void ProgressSyncer::PrepareRequest(PObject& request) {
    const ResumeCondition& c = context.progress_entry.condition;
    BuildPullRequest(context.reg_entry, context.connection.getConnectionInfo(), c.sync_id, request);
    PObject condition;
    switch (c.filter_type) {
        case FILTER_TYPE_EXT:
            condition["extension"] = c.filter_desc;
            break;
        case FILTER_TYPE_PREFIX:
            condition["prefix"] = c.filter_desc;
            break;
        case FILTER_TYPE_NAME:
            condition["name"] = c.filter_desc;
            break;
        case FILTER_TYPE_SIZE: {
            uint64_t lower = 0, upper = 0;
            if (DecodeResumeSizeFilterDesc(c.filter_desc, lower, upper) < 0) {
                TW_ERROR(kComponent, "Failed to decode resume size filter '%s'\n", c.filter_desc.c_str());
                break;
            }
            condition["min_size"] = lower;
            condition["max_size"] = upper;
            break;
        }
        default:
            TW_WARNING(kComponent, "Unknow filter type '%d'.\n", c.filter_type);
            break;
    }
    if (!condition.isNull()) request["condition"] = condition;
}

int ProgressSyncer::ProtoPullEvent(const PObject& request, PObject& response) {
    SessionStage failed = SessionStage::kNone;
    int ret = RunPooledRequest(context.connection, context.reg_entry.view_id, SCMD_EVT_PULL, request, response, form,
                               &failed);
    if (failed == SessionStage::kHandshake)
        TW_ERROR(kComponent, "ProtoPullEvent: fail to establish communication channel\n");
    else if (failed == SessionStage::kRequest)
        TW_ERROR(kComponent, "ProtoPullEvent: fail to pull events. %d.\n", ret);
    return ret;
}

int ProgressSyncer::ProcessEvents(const PObject& response) {
    uint64_t row_id = context.row_id;
    uint64_t next = response["next_sync_id"].asUInt64();
    if (next != context.progress_entry.condition.sync_id) {
        for (const PObject& change : response["event_list"].asArray()) PushEvent(context.reg_entry, change);
        int waited = WaitForWorkers();
        if (waited < 0) {
            TW_NOTE(kComponent, "ProcessEvents: interrupted while waiting events being done ...\n");
            return -1;
        }
        if (waited == kStuck) return 0;
        if (FilterDB::getInstance().updateResumeSyncId(row_id, next) != 0) {
            TW_ERROR(kComponent,
                     "ProcessEvents: faile to update sync_id (%llu) to filter_resume_table for row_id(%llu)\n",
                     (ull)next, (ull)row_id);
            return -1;
        }
        ProgressCache::getInstance().updateProgressSyncId(row_id, next);
        return 0;
    }
    TW_DEBUG(kComponent, "already uptodate for current event pull condition.\n");
    if (FilterDB::getInstance().rmResumeCondition(row_id) != 0) {
        TW_ERROR(kComponent, "ProcessEvents: fail to remove resume condition for row_id(%llu)\n", (ull)row_id);
        return 0;
    }
    ProgressCache::getInstance().rmProgressEntry(row_id);
    return 0;
}

int ProgressSyncer::WaitForWorkers() {
    SetConnectionState(IDLE);
    uint64_t sess_id = context.reg_entry.sess_id;
    ServerEventWait outcome =
        WaitForServerEvents(*this, EventManager::getInstance(), sess_id, options.stuck_seconds, kComponent);
    if (outcome == ServerEventWait::kDone) return 0;
    if (outcome != ServerEventWait::kStuck) return -1;
    TW_WARNING(kComponent,
               "session %llu: its server events made no progress for %u s; resume condition %llu stays at sync id "
               "%llu until they are done\n",
               (ull)sess_id, options.stuck_seconds, (ull)context.row_id, (ull)context.progress_entry.condition.sync_id);
    return kStuck;
}

int ProgressSyncer::HandleError(int err) {
    return tw_sync::HandleSyncError(err, context.reg_entry.conn_id, context.reg_entry.sess_id, kComponent,
                                    "Progress syncer");
}
