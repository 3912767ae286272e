#include "store/event_tree_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqlite_test_util.h"
#include "support/temp_dir.h"

using tidewell::testing::RawDb;
using tidewell::testing::TempDir;

namespace {

Event local_event(Event::Type type, const std::string& path, bool dir) {
    Event e;
    e.m_type = type;
    e.m_path = path;
    e.m_sess_id = 1;
    if (dir) e.setDir();
    return e;
}

void mark_syncing(const std::string& path, int type) {
    FileStatusInfo info;
    info.path = path;
    info.fileType = type;
    info.syncStatus = FSTAT_SYNCING;
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(info));
}

TEST(EventTreeStatusTest, EventsDroppedByAFolderRemovalLoseTheirStatusEntries) {
    TempDir dir;
    std::string db = dir.file("file-status.sqlite");
    ASSERT_EQ(0, FileStatusDB::initialize(db));

    EventList2 tree;
    AttachFileStatusDB(tree);
    tree.SetWatchPath("/home/u/sync");
    for (const char* p : {"/d/f1", "/d/f2", "/other"}) {
        ASSERT_EQ(0, tree.Push(local_event(Event::EV_MODIFY, p, false)));
        mark_syncing(std::string("/home/u/sync") + p, 0);
    }
    // The local removal of /d makes the pending changes inside it pointless.
    ASSERT_EQ(0, tree.Push(local_event(Event::EV_REMOVE, "/d", true)));
    mark_syncing("/home/u/sync/d", 1);
    EXPECT_EQ(RawDb(db).rows("SELECT path FROM fstatinfo ORDER BY path"),
              (std::vector<std::string>{"/home/u/sync/d", "/home/u/sync/other"}));
    FileStatusDB::destroy();
}

}  // namespace
