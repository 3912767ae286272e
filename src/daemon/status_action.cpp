// "get_status": the sessions with their pending counts, the connections,
// and what each working worker transfers. Every list is built from copies
// (the registry's, the connection table's) or asked of each worker under
// its own lock, so the report may run while transfers go on. A list with no
// entries stays null: its array is made with its first entry.
#include <vector>

#include "daemon/tidewell_app.h"
#include "net/connection_manager.h"
#include "sync/event_manager.h"

void TidewellApp::get_status(const PObject&, PObject& reply) {
    get_session_status(reply["session_list"]);
    get_connection_status(reply["connection_list"]);
    get_worker_status(reply["worker_list"]);
}

void TidewellApp::get_session_status(PObject& list) {
    std::vector<Registry::Entry> entries;
    Registry::getInstance().GetAll(entries);
    for (const Registry::Entry& e : entries) {
        uint64_t pending = EventManager::getInstance().GetAllPendingEventCount(e.sess_id);
        PObject item;
        item["connection_id"] = e.conn_id;
        item["session_id"] = e.sess_id;
        item["unfinished_files"] = pending;
        item["status"] = e.pause ? "pause" : pending != 0 ? "syncing" : "uptodate";
        list.asArray().push_back(item);
    }
}

void TidewellApp::get_connection_status(PObject& list) {
    std::vector<Connection> connections;
    ConnectionManager::getInstance().get(connections);
    for (Connection& c : connections) {
        PObject item;
        item["connection_id"] = c.getConnectionInfo().conn_id;
        item["status"] = c.isConnected2() ? "connected" : "disconnected";
        list.asArray().push_back(item);
    }
}

void TidewellApp::get_worker_status(PObject& list) {
    for (WorkerTask* worker : workers()) {
        uint64_t session_id = 0, sent = 0, total_size = 0;
        ustring path;
        WorkerTask::WorkingType type = WorkerTask::W_TYPE_NONE;
        worker->GetWorkingStatus(session_id, path, type, sent, total_size);
        if (type == WorkerTask::W_TYPE_NONE) continue;
        PObject item;
        item["session_id"] = session_id;
        item["path"] = path;
        item["status"] = type == WorkerTask::W_TYPE_UPLOAD ? "uploading" : "downloading";
        item["progress"] = sent;
        item["total_size"] = total_size;
        list.asArray().push_back(item);
    }
}
