// The environment that "link" opens and "unlink" tears down: the filter
// database, the file status database and the system filter; the teardown
// also empties the event manager, the session registry, the connection
// table and the progress cache.
#include "base/logger.h"
#include "base/settings.h"
#include "session/registry.h"
#include "daemon/tidewell_app.h"
#include "filter/black_list2.h"
#include "net/channel.h"
#include "net/connection_manager.h"
#include "store/file_status_db.h"
#include "store/filter_db.h"
#include "store/progress_cache.h"
#include "sync/event_manager.h"

namespace {

const char* const kComponent = "client_debug";

}  // namespace

int TidewellApp::init_env() {
    Settings& settings = Settings::getInstance();
    print_settings();
    Channel::m_ca_path = settings.getCertPath();

    ustring filter_db_path = settings.getFilterDbPath();
    if (FilterDB::getInstance().initialize(filter_db_path) < 0) {
        TW_ERROR(kComponent, "Failed to init filter DB at [%s]\n", filter_db_path.c_str());
        return -1;
    }

    ustring fstat_db_path = settings.getFStatDbPath();
    if (FileStatusDB::initialize(fstat_db_path) < 0)
        TW_WARNING(kComponent, "file status database at [%s] is not available\n", fstat_db_path.c_str());
    FileStatusDB::removeAllEntry();

    ustring system_filter_path = settings.getSystemFilterPath();
    if (BlackList2::getInstance().Load(system_filter_path) < 0) {
        TW_ERROR(kComponent, "Failed to load system filter from %s.\n", system_filter_path.c_str());
        return -1;
    }
    return 0;
}

void TidewellApp::destroy_env() {
    FilterDB::getInstance().destroy();
    FileStatusDB::destroy();
    BlackList2::getInstance().Destroy();
    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
    ConnectionManager::getInstance().clear();
    ProgressCache::getInstance().clear();
}
