#include "store/filter_db.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqlite_test_util.h"
#include "support/temp_dir.h"

using tidewell::testing::RawDb;
using tidewell::testing::TempDir;

namespace {

class FilterDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("filter.sqlite");
        ASSERT_EQ(0, db.initialize(path));
    }

    TempDir dir;
    std::string path;
    FilterDB db;
};

std::vector<std::string> descs(const std::set<FilterInfo>& set) {
    std::vector<std::string> out;
    for (const auto& f : set) out.push_back(f.filter_desc.str() + "@" + std::to_string(f.sync_id));
    return out;
}

TEST_F(FilterDBTest, SchemaMatchesTheStoredLayout) {
    RawDb raw(path);
    auto columns = [&](const std::string& table) {
        return raw.rows("SELECT name, type, \"notnull\", pk, ifnull(dflt_value, '-') FROM pragma_table_info('" + table +
                        "')");
    };
    const std::vector<std::string> four = {"sess_id|INTEGER|1|1|-", "sync_id|INTEGER|1|0|-",
                                           "filter_type|INTEGER|1|2|-", "filter_desc|TEXT|1|3|-"};
    EXPECT_EQ(columns("config_table"), (std::vector<std::string>{"key|VARCHAR|0|1|-", "value|VARCHAR|1|0|-"}));
    EXPECT_EQ(columns("white_list_table"), four);
    EXPECT_EQ(columns("filter_table"), four);
    EXPECT_EQ(columns("filter_range_table"), four);
    EXPECT_EQ(columns("filter_resume_table"),
              (std::vector<std::string>{"id|INTEGER|0|1|-", "sess_id|INTEGER|1|0|-", "sync_id|INTEGER|1|0|-",
                                        "filter_type|INTEGER|1|0|-", "filter_desc|TEXT|1|0|-"}));
    EXPECT_EQ(
        columns("filtered_local_event_table"),
        (std::vector<std::string>{"sess_id|INTEGER|1|1|-", "file_type|INTEGER|1|0|-", "is_exist|INTEGER|1|0|-",
                                  "path|TEXT|1|2|-", "sync_id|NUMERIC|1|0|-", "file_size|NUMERIC|1|0|-",
                                  "file_mod_time|NUMERIC|1|0|-", "file_checksum|TEXT|1|0|-", "base_name|TEXT|1|0|-",
                                  "win_hash|TEXT|0|0|NULL", "mac_hash|TEXT|0|0|NULL", "linux_hash|TEXT|0|0|NULL",
                                  "corv_hash|TEXT|0|0|NULL", "inode|INTEGER|0|0|-", "filtered_type|NUMERIC|1|0|-"}));
    EXPECT_NE(raw.value("SELECT sql FROM sqlite_master WHERE name = 'filter_table'").find("ON CONFLICT IGNORE"),
              std::string::npos);
    EXPECT_NE(raw.value("SELECT sql FROM sqlite_master WHERE name = 'filter_resume_table'").find("AUTOINCREMENT"),
              std::string::npos);
    EXPECT_EQ(
        raw.rows("SELECT name || ':' || tbl_name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL "
                 "ORDER BY name"),
        (std::vector<std::string>{
            "filter_range_table_desc_idx:filter_range_table", "filter_range_table_sess_id_idx:filter_range_table",
            "filter_range_table_type_idx:filter_range_table", "filter_resume_table_sess_id_idx:filter_resume_table",
            "filter_table_desc_idx:filter_table", "filter_table_sess_id_idx:filter_table",
            "filter_table_type_idx:filter_table", "filtered_local_event_table_base_name_idx:filtered_local_event_table",
            "filtered_local_event_table_file_size_idx:filtered_local_event_table",
            "filtered_local_event_table_filtered_type_idx:filtered_local_event_table",
            "filtered_local_event_table_path_idx:filtered_local_event_table",
            "filtered_local_event_table_sess_id_idx:filtered_local_event_table",
            "white_list_table_desc_idx:white_list_table", "white_list_table_sess_id_idx:white_list_table",
            "white_list_table_type_idx:white_list_table"}));
    EXPECT_EQ(raw.value("SELECT value FROM config_table WHERE key = 'version'"), "2");
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
}

TEST_F(FilterDBTest, InitializingTwiceKeepsTheFirstConnection) {
    ASSERT_EQ(0, db.setFilter(1, 5, FILTER_TYPE_NAME, "a"));
    EXPECT_EQ(0, db.initialize(dir.file("other.sqlite")));
    ASSERT_EQ(0, db.setFilter(1, 5, FILTER_TYPE_NAME, "b"));
    EXPECT_EQ(RawDb(path).value("SELECT count(*) FROM filter_table"), "2");
    db.destroy();
    EXPECT_FALSE(db.isOpen());
    // Reopening an existing file keeps its content.
    ASSERT_EQ(0, db.initialize(path));
    SelectiveSyncInfo info;
    ASSERT_EQ(0, db.ConvertFilterDBToSelectiveSyncInfo(1, info));
    EXPECT_EQ(descs(info.black_name), (std::vector<std::string>{"a@5", "b@5"}));
}

TEST_F(FilterDBTest, FiltersGroupByKindAndDuplicatesKeepTheFirstSyncId) {
    ASSERT_EQ(0, db.setFilter(1, 10, FILTER_TYPE_EXT, "tmp"));
    ASSERT_EQ(0, db.setFilter(1, 20, FILTER_TYPE_EXT, "tmp"));  // ignored
    ASSERT_EQ(0, db.setFilter(1, 11, FILTER_TYPE_PREFIX, "/build"));
    ASSERT_EQ(0, db.setFilter(1, 12, FILTER_TYPE_NAME, "it's 'quoted'"));
    ASSERT_EQ(0, db.setFilter(1, 13, -11, "odd"));  // unknown kind: skipped when read
    ASSERT_EQ(0, db.setFilter(2, 14, FILTER_TYPE_NAME, "other session"));
    ASSERT_EQ(0, db.setSizeFilter(1, 15, 1000));
    ASSERT_EQ(0, db.setSizeFilter(1, 16, 2000));
    ASSERT_EQ(0, db.setWhiteListFilter(1, 17, FILTER_TYPE_EXT, "doc"));
    ASSERT_EQ(0, db.setWhiteListFilter(1, 18, FILTER_TYPE_NAME, "not an extension"));

    SelectiveSyncInfo info;
    ASSERT_EQ(0, db.ConvertFilterDBToSelectiveSyncInfo(1, info));
    EXPECT_EQ(descs(info.black_ext), std::vector<std::string>{"tmp@10"});
    EXPECT_EQ(descs(info.black_prefix), std::vector<std::string>{"/build@11"});
    EXPECT_EQ(descs(info.black_name), std::vector<std::string>{"it's 'quoted'@12"});
    EXPECT_EQ(info.black_size.filter_desc, "2000");  // the last row read
    EXPECT_EQ(info.black_size.sync_id, 16u);
    ASSERT_EQ(0, db.ConvertWhiteFilterDBToSelectiveSyncInfo(1, info));
    EXPECT_EQ(descs(info.white_ext), std::vector<std::string>{"doc@17"});

    ASSERT_EQ(0, db.rmFilter(1, FILTER_TYPE_NAME, "it's 'quoted'"));
    ASSERT_EQ(0, db.rmWhiteListFilter(1, FILTER_TYPE_EXT, "doc"));
    SelectiveSyncInfo after;
    ASSERT_EQ(0, db.ConvertFilterDBToSelectiveSyncInfo(1, after));
    ASSERT_EQ(0, db.ConvertWhiteFilterDBToSelectiveSyncInfo(1, after));
    EXPECT_TRUE(after.black_name.empty());
    EXPECT_TRUE(after.white_ext.empty());
}

TEST_F(FilterDBTest, SizeFilterCanBeReadUpdatedAndRemoved) {
    FilterInfo f;
    f.filter_desc = "untouched";
    ASSERT_EQ(0, db.getSizeFilter(1, f));
    EXPECT_EQ(f.filter_desc, "untouched");
    ASSERT_EQ(0, db.setSizeFilter(1, 7, 1048576));
    ASSERT_EQ(0, db.updateSizeFilter(1, 1048576, 2097152));
    ASSERT_EQ(0, db.getSizeFilter(1, f));
    EXPECT_EQ(f.filter_desc, "2097152");
    EXPECT_EQ(f.sync_id, 7u);
    ASSERT_EQ(0, db.rmSizeFilter(1, 2097152));
    EXPECT_EQ(RawDb(path).value("SELECT count(*) FROM filter_range_table"), "0");
}

TEST_F(FilterDBTest, ResumeConditionsRoundTrip) {
    uint64_t first = 0, second = 0, third = 0;
    ASSERT_EQ(0, db.setResumeCondition({7, 100, FILTER_TYPE_PREFIX, "/a'b"}, first));
    ASSERT_EQ(0, db.setResumeCondition({7, 200, FILTER_TYPE_SIZE, "5000"}, second));
    ASSERT_EQ(0, db.setResumeCondition({8, 300, FILTER_TYPE_EXT, "iso"}, third));
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);

    ASSERT_EQ(0, db.updateResumeSyncId(first, 150));
    ResumeConditionList list;
    ASSERT_EQ(0, db.getResumeConditionsBySession(7, list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().first, first);
    EXPECT_EQ(list.front().second.sess_id, 7u);
    EXPECT_EQ(list.front().second.sync_id, 150u);
    EXPECT_EQ(list.front().second.filter_type, FILTER_TYPE_PREFIX);
    EXPECT_EQ(list.front().second.filter_desc, "/a'b");
    EXPECT_EQ(list.back().first, second);

    ASSERT_EQ(0, db.rmResumeCondition(first));
    ASSERT_EQ(0, db.rmResumeCondition(second));
    uint64_t row = 0;
    ResumeCondition r;
    EXPECT_EQ(1, db.getResumeCondition(row, r));
    EXPECT_EQ(row, third);
    EXPECT_EQ(r.sess_id, 8u);
    ASSERT_EQ(0, db.rmResumeCondition(third));
    EXPECT_EQ(0, db.getResumeCondition(row, r));
}

FilterLocalEvent local_event(uint64_t sess, const std::string& path) {
    FilterLocalEvent e;
    e.sess_id = sess;
    e.path = path;
    e.file_checksum = "0123456789abcdef0123456789abcdef";
    e.base_name = "b'ase";
    e.win_hash = "w";
    e.mac_hash = "m";
    e.linux_hash = "l";
    e.corv_hash = "c";
    e.sync_id = 9007199254740993ull;
    e.file_size = 5000000000ull;
    e.file_mod_time = 4000000000u;
    e.inode = 77;
    e.file_type = 0;
    e.filtered_type = -14;
    e.is_exist = 1;
    return e;
}

TEST_F(FilterDBTest, FilteredLocalEventsRoundTripEveryField) {
    ASSERT_EQ(0, db.setLocalFilteredEvent(local_event(3, "/x/it's.txt")));
    FilterLocalEvent e;
    ASSERT_EQ(1, db.getLocalFilteredEventByPath(3, "/x/it's.txt", e));
    EXPECT_EQ(e.sess_id, 3u);
    EXPECT_EQ(e.path, "/x/it's.txt");
    EXPECT_EQ(e.base_name, "b'ase");
    EXPECT_EQ(e.file_checksum, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(e.win_hash + e.mac_hash + e.linux_hash + e.corv_hash, "wmlc");
    EXPECT_EQ(e.sync_id, 9007199254740993ull);
    EXPECT_EQ(e.file_size, 5000000000ull);
    EXPECT_EQ(e.file_mod_time, 4000000000u);
    EXPECT_EQ(e.inode, 77u);
    EXPECT_EQ(e.filtered_type, -14);
    EXPECT_EQ(e.is_exist, 1);
    EXPECT_EQ(0, db.getLocalFilteredEventByPath(4, "/x/it's.txt", e));
    EXPECT_EQ(0, db.getLocalFilteredEventByPath(3, "/X/it's.txt", e));

    // Storing the same path again replaces the event.
    auto changed = local_event(3, "/x/it's.txt");
    changed.file_size = 1;
    ASSERT_EQ(0, db.setLocalFilteredEvent(changed));
    std::set<FilterLocalEvent> events;
    ASSERT_EQ(0, db.setLocalFilteredEvent(local_event(3, "/a")));
    ASSERT_EQ(0, db.setLocalFilteredEvent(local_event(4, "/b")));
    ASSERT_EQ(0, db.dumpLocalFilteredEvent(3, events));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events.begin()->path, "/a");
    EXPECT_EQ(events.rbegin()->file_size, 1u);

    ASSERT_EQ(0, db.cleanLocalFilteredEventBySession(3));
    EXPECT_EQ(RawDb(path).rows("SELECT sess_id, path FROM filtered_local_event_table"),
              std::vector<std::string>{"4|/b"});
}

TEST_F(FilterDBTest, RemovingAFilteredEventTakesOnlyItsOwnSubtree) {
    const std::vector<std::string> all = {"a/b",  "a/b/c", "a/bc",   "a/B/c", "a/[b]", "a/[b]/c",
                                          "a/b*", "a/b%",  "a/b%/c", "a/b_",  "a/b0",  "a/b/c/d"};
    struct Case {
        const char* removed;
        std::vector<std::string> left;
    };
    const std::vector<Case> cases = {
        {"a/b", {"a/B/c", "a/[b]", "a/[b]/c", "a/b%", "a/b%/c", "a/b*", "a/b0", "a/b_", "a/bc"}},
        {"a/[b]", {"a/B/c", "a/b", "a/b%", "a/b%/c", "a/b*", "a/b/c", "a/b/c/d", "a/b0", "a/b_", "a/bc"}},
        {"a/b%", {"a/B/c", "a/[b]", "a/[b]/c", "a/b", "a/b*", "a/b/c", "a/b/c/d", "a/b0", "a/b_", "a/bc"}},
        {"a/B", {"a/[b]", "a/[b]/c", "a/b", "a/b%", "a/b%/c", "a/b*", "a/b/c", "a/b/c/d", "a/b0", "a/b_", "a/bc"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removed);
        ASSERT_EQ(0, db.cleanLocalFilteredEventBySession(1));
        for (const auto& p : all) ASSERT_EQ(0, db.setLocalFilteredEvent(local_event(1, p)));
        ASSERT_EQ(0, db.setLocalFilteredEvent(local_event(2, "a/b/c")));
        ASSERT_EQ(0, db.rmLocalFilteredEventByPath(1, c.removed));
        EXPECT_EQ(RawDb(path).rows("SELECT path FROM filtered_local_event_table WHERE sess_id = 1 ORDER BY path"),
                  c.left);
        EXPECT_EQ(RawDb(path).value("SELECT path FROM filtered_local_event_table WHERE sess_id = 2"), "a/b/c");
    }
}

TEST_F(FilterDBTest, EventOverflowDefaultsToSet) {
    int overflow = -7;
    ASSERT_EQ(0, db.checkEventOverflow(overflow));
    EXPECT_EQ(overflow, 1);
    ASSERT_EQ(0, db.setConfigItem("event_overflow", "0"));
    ASSERT_EQ(0, db.checkEventOverflow(overflow));
    EXPECT_EQ(overflow, 0);
    ASSERT_EQ(0, db.setConfigItem("event_overflow", "1"));
    ASSERT_EQ(0, db.checkEventOverflow(overflow));
    EXPECT_EQ(overflow, 1);
}

TEST(FilterDBFailureTest, BadFilesAndAClosedDatabaseFailCleanly) {
    TempDir dir;
    FilterDB db;
    EXPECT_EQ(-1, db.initialize(dir.file("missing/filter.sqlite")));
    std::string corrupt = dir.write("corrupt.sqlite", std::string(4096, 'z'));
    EXPECT_EQ(-1, db.initialize(corrupt));
    EXPECT_FALSE(db.isOpen());

    // Nothing open: every operation fails without touching anything.
    uint64_t row = 0;
    ResumeCondition r;
    FilterInfo f;
    SelectiveSyncInfo info;
    FilterLocalEvent e;
    std::set<FilterLocalEvent> events;
    ResumeConditionList list;
    int overflow = 0;
    EXPECT_EQ(-1, db.setFilter(1, 1, FILTER_TYPE_NAME, "x"));
    EXPECT_EQ(-1, db.setResumeCondition(r, row));
    EXPECT_EQ(-1, db.getResumeCondition(row, r));
    EXPECT_EQ(-1, db.getSizeFilter(1, f));
    EXPECT_EQ(-1, db.ConvertFilterDBToSelectiveSyncInfo(1, info));
    EXPECT_EQ(-1, db.getLocalFilteredEventByPath(1, "/a", e));
    EXPECT_EQ(-1, db.dumpLocalFilteredEvent(1, events));
    EXPECT_EQ(-1, db.getResumeConditionsBySession(1, list));
    EXPECT_EQ(-1, db.checkEventOverflow(overflow));
    EXPECT_EQ(-1, db.rmLocalFilteredEventByPath(1, "/a"));
    db.destroy();
}

TEST(FilterDBFailureTest, AStatementThatFailsIsReported) {
    TempDir dir;
    FilterDB db;
    std::string path = dir.file("filter.sqlite");
    ASSERT_EQ(0, db.initialize(path));
    ASSERT_EQ(0, RawDb(path).exec("DROP TABLE filter_resume_table"));
    uint64_t row = 99;
    EXPECT_EQ(-1, db.setResumeCondition({1, 1, FILTER_TYPE_NAME, "x"}, row));
    EXPECT_EQ(row, 99u);
    ResumeCondition r;
    EXPECT_EQ(-1, db.getResumeCondition(row, r));
}

TEST(FilterDBInstanceTest, GetInstanceIsOneObject) {
    EXPECT_EQ(&FilterDB::getInstance(), &FilterDB::getInstance());
}

}  // namespace
