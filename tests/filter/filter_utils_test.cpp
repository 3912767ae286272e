#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "filter/filter_utils.h"
#include "store/filter_db.h"
#include "store/progress_cache.h"
#include "support/temp_dir.h"

using tidewell::testing::TempDir;

namespace {

constexpr uint64_t kSess = 7;

std::string quoted_list(const std::vector<std::string>& entries) {
    std::string out;
    for (const std::string& e : entries) out += (out.empty() ? "\"" : ", \"") + e + "\"";
    return out;
}

// A black list with the given selective-sync entries.
std::string black(const std::vector<std::string>& prefixes, const std::vector<std::string>& names,
                  const std::vector<std::string>& exts, uint64_t size) {
    std::string text = "[Version]\nmajor = 1\nminor = 0\n[Common]\nblack_name = \"desktop.ini\"\n";
    if (!prefixes.empty()) text += "black_path_prefix_selective_sync = " + quoted_list(prefixes) + "\n";
    text += "[File]\nblack_ext = \"tmp\"\n";
    if (!names.empty()) text += "black_name_selective_sync = " + quoted_list(names) + "\n";
    if (!exts.empty()) text += "black_ext_selective_sync = " + quoted_list(exts) + "\n";
    return text + "max_size_selective_sync = " + std::to_string(size) + "\n";
}

std::string white(const std::vector<std::string>& exts) {
    std::string text = "[Version]\nmajor = 1\nminor = 0\n[File]\n";
    if (!exts.empty()) text += "white_ext = " + quoted_list(exts) + "\n";
    return text;
}

std::string set_text(const char* label, const std::set<FilterInfo>& set) {
    std::string out = std::string(label) + "=[";
    bool first = true;
    for (const FilterInfo& f : set) {
        out += (first ? "" : " ") + f.filter_desc.str() + "@" + std::to_string(f.sync_id);
        first = false;
    }
    return out + "]";
}

class FilterCompareTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(FilterDB::getInstance().initialize(dir.file("filter.sqlite")), 0);
        ProgressCache::getInstance().clear();
    }
    void TearDown() override {
        ProgressCache::getInstance().clear();
        FilterDB::getInstance().destroy();
    }

    // Takes every entry out of the progress cache, front first, as
    // "<row id>:<condition>".
    std::vector<std::string> DrainProgressCache() {
        std::vector<std::string> out;
        ProgressCache& cache = ProgressCache::getInstance();
        ProgressCache::Entry entry;
        while (cache.getProgressEntry(entry) == 1) {
            out.push_back(std::to_string(entry.row_id) + ":" + condition_text(entry.condition));
            EXPECT_EQ(cache.rmProgressEntry(entry.row_id), 0);
        }
        return out;
    }

    static std::string condition_text(const ResumeCondition& c) {
        return std::to_string(c.sess_id) + "/" + std::to_string(c.filter_type) + "/" + std::to_string(c.sync_id) + "/" +
               c.filter_desc.str();
    }

    // The comparison as a session creation or filter reload runs it.
    int Reload(const std::string& black_text, const std::string& white_text, uint64_t sync_id) {
        Filter filter;
        filter_init(&filter);
        WhiteList list;
        white_list_init(&list);
        EXPECT_EQ(filter_read(&filter, dir.write("blacklist.filter", black_text).c_str()), 0);
        EXPECT_EQ(white_list_read(&list, dir.write("whitelist.filter", white_text).c_str()), 0);
        SelectiveSyncInfo file_info, db_info;
        ConvertFilterFileToSelectiveSyncInfo(sync_id, filter, file_info);
        ConvertWhiteFilterFileToSelectiveSyncInfo(sync_id, list, file_info);
        filter_destroy(&filter);
        white_list_destroy(&list);
        FilterDB& db = FilterDB::getInstance();
        if (db.ConvertFilterDBToSelectiveSyncInfo(kSess, db_info) != 0) return -1;
        if (db.ConvertWhiteFilterDBToSelectiveSyncInfo(kSess, db_info) != 0) return -1;
        if (CompareFilterList(kSess, FILTER_TYPE_PREFIX, db_info.black_prefix, file_info.black_prefix) != 0) return -1;
        if (CompareFilterList(kSess, FILTER_TYPE_NAME, db_info.black_name, file_info.black_name) != 0) return -1;
        if (CompareExtensionFilterList(kSess, db_info, file_info) != 0) return -1;
        return CompareSizeFilter(kSess, db_info.black_size, file_info.black_size);
    }

    // The session's rows in the filter database.
    std::string Rows() {
        SelectiveSyncInfo info;
        EXPECT_EQ(FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(kSess, info), 0);
        EXPECT_EQ(FilterDB::getInstance().ConvertWhiteFilterDBToSelectiveSyncInfo(kSess, info), 0);
        std::string size = info.black_size.filter_desc.empty()
                               ? "none"
                               : info.black_size.filter_desc.str() + "@" + std::to_string(info.black_size.sync_id);
        return set_text("prefix", info.black_prefix) + " " + set_text("name", info.black_name) + " " +
               set_text("ext", info.black_ext) + " " + set_text("white", info.white_ext) + " size=" + size;
    }

    // The session's resume conditions in the database, oldest first.
    std::vector<std::string> Resumes() {
        ResumeConditionList list;
        EXPECT_EQ(FilterDB::getInstance().getResumeConditionsBySession(kSess, list), 0);
        std::vector<std::string> out;
        for (const auto& [row, c] : list) out.push_back(condition_text(c));
        return out;
    }

    // The session's resume conditions in the database as "<row id>:<condition>".
    std::vector<std::string> ResumeRows() {
        ResumeConditionList list;
        EXPECT_EQ(FilterDB::getInstance().getResumeConditionsBySession(kSess, list), 0);
        std::vector<std::string> out;
        for (const auto& [row, c] : list) out.push_back(std::to_string(row) + ":" + condition_text(c));
        return out;
    }

    TempDir dir;
};

TEST_F(FilterCompareTest, FirstComparisonRecordsEverything) {
    ASSERT_EQ(Reload(black({"/Photos", "/Music"}, {"Thumbs.db"}, {"iso"}, 0), white({"*"}), 100), 0);
    EXPECT_EQ(Rows(), "prefix=[/Music@0 /Photos@0] name=[Thumbs.db@100] ext=[iso@100] white=[*@0] size=none");
    EXPECT_EQ(Resumes(), std::vector<std::string>{"7/-12/0/*"});
    // The progress cache holds the same condition under the same row id.
    EXPECT_EQ(DrainProgressCache(), ResumeRows());

    // The same files again: nothing written, nothing resumed.
    ASSERT_EQ(Reload(black({"/Photos", "/Music"}, {"Thumbs.db"}, {"iso"}, 0), white({"*"}), 150), 0);
    EXPECT_EQ(Rows(), "prefix=[/Music@0 /Photos@0] name=[Thumbs.db@100] ext=[iso@100] white=[*@0] size=none");
    EXPECT_EQ(Resumes().size(), 1u);
    EXPECT_TRUE(DrainProgressCache().empty());
}

struct ChangeCase {
    const char* name;
    std::string black_before, white_before;
    std::string black_after, white_after;
    std::string rows;                  // after the second comparison
    std::vector<std::string> resumes;  // left by the second comparison
};

void PrintTo(const ChangeCase& c, std::ostream* os) {
    *os << c.name;
}

class FilterChangeTest : public FilterCompareTest, public ::testing::WithParamInterface<ChangeCase> {};

// Recorded at sync id 120, changed at sync id 200.
TEST_P(FilterChangeTest, LeavesRowsAndResumeConditions) {
    const ChangeCase& c = GetParam();
    ASSERT_EQ(Reload(c.black_before, c.white_before, 120), 0);
    size_t before = Resumes().size();
    DrainProgressCache();
    ASSERT_EQ(Reload(c.black_after, c.white_after, 200), 0);
    EXPECT_EQ(Rows(), c.rows);
    std::vector<std::string> all = Resumes();
    std::vector<std::string> added(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(added, c.resumes);
    // Every recorded condition is in the progress cache too, under its row id.
    std::vector<std::string> rows = ResumeRows();
    EXPECT_EQ(DrainProgressCache(), std::vector<std::string>(rows.begin() + static_cast<long>(before), rows.end()));
}

const std::string kAll = "white=[*@0]";

INSTANTIATE_TEST_SUITE_P(Changes, FilterChangeTest,
                         ::testing::Values(
                             // Path prefixes.
                             ChangeCase{"NewPrefixIsStricter",
                                        black({"/a"}, {}, {}, 0),
                                        white({"*"}),
                                        black({"/a", "/b"}, {}, {}, 0),
                                        white({"*"}),
                                        "prefix=[/a@0 /b@0] name=[] ext=[] " + kAll + " size=none",
                                        {}},
                             ChangeCase{"RemovedPrefixResumesFromZero",
                                        black({"/a", "/b"}, {}, {}, 0),
                                        white({"*"}),
                                        black({"/b"}, {}, {}, 0),
                                        white({"*"}),
                                        "prefix=[/b@0] name=[] ext=[] " + kAll + " size=none",
                                        {"7/-13/0//a"}},
                             // Names.
                             ChangeCase{"NewNameAtCurrentSyncId",
                                        black({}, {"x"}, {}, 0),
                                        white({"*"}),
                                        black({}, {"x", "y"}, {}, 0),
                                        white({"*"}),
                                        "prefix=[] name=[x@120 y@200] ext=[] " + kAll + " size=none",
                                        {}},
                             ChangeCase{"RemovedNameResumesFromItsSyncId",
                                        black({}, {"x", "y"}, {}, 0),
                                        white({"*"}),
                                        black({}, {"y"}, {}, 0),
                                        white({"*"}),
                                        "prefix=[] name=[y@120] ext=[] " + kAll + " size=none",
                                        {"7/-14/120/x"}},
                             // Black extensions.
                             ChangeCase{"NewBlackExtension",
                                        black({}, {}, {"iso"}, 0),
                                        white({"*"}),
                                        black({}, {}, {"iso", "mkv"}, 0),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[iso@120 mkv@200] " + kAll + " size=none",
                                        {}},
                             ChangeCase{"BlackExtensionChangesCase",
                                        black({}, {}, {"TMP"}, 0),
                                        white({"*"}),
                                        black({}, {}, {"tmp"}, 0),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[tmp@200] " + kAll + " size=none",
                                        {"7/-12/120/TMP"}},
                             // White extensions.
                             ChangeCase{"WhiteExtensionAdded",
                                        black({}, {}, {}, 0),
                                        white({"txt"}),
                                        black({}, {}, {}, 0),
                                        white({"txt", "raw"}),
                                        "prefix=[] name=[] ext=[] white=[raw@200 txt@120] size=none",
                                        {"7/-12/0/raw"}},
                             ChangeCase{"WhiteExtensionRemoved",
                                        black({}, {}, {}, 0),
                                        white({"txt", "raw"}),
                                        black({}, {}, {}, 0),
                                        white({"txt"}),
                                        "prefix=[] name=[] ext=[] white=[txt@120] size=none",
                                        {}},
                             ChangeCase{"WhiteNarrowedFromAll",
                                        black({}, {}, {}, 0),
                                        white({"*"}),
                                        black({}, {}, {}, 0),
                                        white({"txt"}),
                                        "prefix=[] name=[] ext=[] white=[txt@200] size=none",
                                        {}},
                             ChangeCase{"WhiteWidenedToAll",
                                        black({}, {}, {"iso"}, 0),
                                        white({"txt", "doc"}),
                                        black({}, {}, {}, 0),
                                        white({"*", "txt"}),
                                        "prefix=[] name=[] ext=[] white=[*@0] size=none",
                                        {"7/-12/120/iso", "7/-12/0/*"}},
                             // Size limits.
                             ChangeCase{"NewSizeLimit",
                                        black({}, {}, {}, 0),
                                        white({"*"}),
                                        black({}, {}, {}, 100),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[] " + kAll + " size=100@200",
                                        {}},
                             ChangeCase{"SizeLimitStricter",
                                        black({}, {}, {}, 100),
                                        white({"*"}),
                                        black({}, {}, {}, 50),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[] " + kAll + " size=50@120",
                                        {}},
                             ChangeCase{"SizeLimitLooser",
                                        black({}, {}, {}, 50),
                                        white({"*"}),
                                        black({}, {}, {}, 100),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[] " + kAll + " size=100@120",
                                        {"7/-15/120/from=50,to=100"}},
                             ChangeCase{"SizeLimitRemoved",
                                        black({}, {}, {}, 50),
                                        white({"*"}),
                                        black({}, {}, {}, 0),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[] " + kAll + " size=10737418240@120",
                                        {"7/-15/120/from=50,to=18446744073709551615"}},
                             ChangeCase{"SizeLimitUnchanged",
                                        black({}, {}, {}, 50),
                                        white({"*"}),
                                        black({}, {}, {}, 50),
                                        white({"*"}),
                                        "prefix=[] name=[] ext=[] " + kAll + " size=50@120",
                                        {}}),
                         [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

TEST_F(FilterCompareTest, RemovedSizeLimitDoesNotResumeOnEveryReload) {
    ASSERT_EQ(Reload(black({}, {}, {}, 50), white({"*"}), 120), 0);
    ASSERT_EQ(Reload(black({}, {}, {}, 0), white({"*"}), 200), 0);
    ASSERT_EQ(Resumes().size(), 2u);  // "*" and the removed limit
    for (uint64_t sync_id : {300, 400, 500}) {
        ASSERT_EQ(Reload(black({}, {}, {}, 0), white({"*"}), sync_id), 0);
        EXPECT_EQ(Resumes().size(), 2u) << sync_id;
        EXPECT_EQ(Rows(), "prefix=[] name=[] ext=[] white=[*@0] size=10737418240@120");
    }
    EXPECT_EQ(DrainProgressCache().size(), 2u);

    // A new limit after that is stricter than the recorded one.
    ASSERT_EQ(Reload(black({}, {}, {}, 30), white({"*"}), 600), 0);
    EXPECT_EQ(Rows(), "prefix=[] name=[] ext=[] white=[*@0] size=30@120");
    EXPECT_EQ(Resumes().size(), 2u);
}

TEST_F(FilterCompareTest, LimitAboveTenGiBAfterARemovedOneIsStricter) {
    ASSERT_EQ(Reload(black({}, {}, {}, 50), white({"*"}), 120), 0);
    ASSERT_EQ(Reload(black({}, {}, {}, 0), white({"*"}), 200), 0);
    ASSERT_EQ(Resumes().size(), 2u);
    // 20 GiB: from no limit to a limit holds files back, it lets none in.
    ASSERT_EQ(Reload(black({}, {}, {}, 21474836480ull), white({"*"}), 300), 0);
    EXPECT_EQ(Rows(), "prefix=[] name=[] ext=[] white=[*@0] size=21474836480@120");
    EXPECT_EQ(Resumes().size(), 2u);
}

TEST_F(FilterCompareTest, FailuresEndTheComparison) {
    FilterDB::getInstance().destroy();
    std::set<FilterInfo> empty, one{FilterInfo{5, "x"}};
    EXPECT_EQ(CompareFilterList(kSess, FILTER_TYPE_NAME, empty, one), -1);
    EXPECT_EQ(CompareFilterList(kSess, FILTER_TYPE_NAME, one, empty), -1);
    EXPECT_EQ(CompareFilterList(kSess, FILTER_TYPE_NAME, one, one), 0);  // nothing to write
    EXPECT_EQ(CompareWhiteFilterList(kSess, FILTER_TYPE_EXT, empty, one), -1);
    EXPECT_EQ(CompareWhiteFilterList(kSess, FILTER_TYPE_EXT, one, empty), -1);
    SelectiveSyncInfo all, some;
    all.white_ext.insert(FilterInfo{0, "*"});
    some.white_ext.insert(FilterInfo{5, "txt"});
    EXPECT_EQ(CompareExtensionFilterList(kSess, all, some), -1);
    EXPECT_EQ(CompareExtensionFilterList(kSess, some, all), -1);
    EXPECT_EQ(CompareExtensionFilterList(kSess, some, some), 0);
    EXPECT_EQ(CompareSizeFilter(kSess, FilterInfo{0, ""}, FilterInfo{5, "100"}), -1);
    EXPECT_EQ(CompareSizeFilter(kSess, FilterInfo{0, ""}, FilterInfo{5, "0"}), 0);  // no row to write
    EXPECT_EQ(CompareSizeFilter(kSess, FilterInfo{5, "100"}, FilterInfo{5, "50"}), -1);
    EXPECT_EQ(CompareSizeFilter(kSess, FilterInfo{5, "50"}, FilterInfo{5, "100"}), -1);
    EXPECT_EQ(ProgressCache::getInstance().size(), 0u);
}

TEST(ResumeSizeDescTest, EncodesAndDecodes) {
    ustring out;
    EXPECT_EQ(EncodeResumeSizeFilterDesc(200, 100, out), 0);
    EXPECT_EQ(out, "from=100,to=200");
    EXPECT_EQ(EncodeResumeSizeFilterDesc(50, 10737418240ULL, out), 0);
    EXPECT_EQ(out, "from=50,to=10737418240");

    struct {
        const char* desc;
        int rc;
        uint64_t lower, upper;
    } cases[] = {
        {"from=1,to=2", 0, 1, 2},
        {"from=0,to=18446744073709551615", 0, 0, UINT64_MAX},
        {"from=5,to=9 trailing", 0, 5, 9},
        {"from=1,to=", -1, 11, 22},
        {"from=,to=2", -1, 11, 22},
        {"", -1, 11, 22},
        {"to=2,from=1", -1, 11, 22},
        {"from=1;to=2", -1, 11, 22},
        {"from=18446744073709551616,to=2", -1, 11, 22},
    };
    for (const auto& c : cases) {
        uint64_t lower = 11, upper = 22;
        EXPECT_EQ(DecodeResumeSizeFilterDesc(c.desc, lower, upper), c.rc) << c.desc;
        EXPECT_EQ(lower, c.lower) << c.desc;
        EXPECT_EQ(upper, c.upper) << c.desc;
    }
}

TEST(ConvertFilterFileTest, StampsEntriesWithTheSyncId) {
    Filter filter;
    filter_init(&filter);
    vt_string_set_insert(&filter.common.black_path_prefix_selective_sync, "/a");
    vt_string_set_insert(&filter.file.black_name_selective_sync, "n");
    vt_string_set_insert(&filter.file.black_name_selective_sync, "n");  // one entry per text
    vt_string_set_insert(&filter.file.black_ext_selective_sync, "iso");
    vt_string_set_insert(&filter.file.black_ext, "tmp");  // not a selective-sync filter
    filter.file.max_size_selective_sync = 10737418240LL;
    SelectiveSyncInfo info;
    ASSERT_EQ(ConvertFilterFileToSelectiveSyncInfo(42, filter, info), 0);
    EXPECT_EQ(set_text("p", info.black_prefix) + set_text("n", info.black_name) + set_text("e", info.black_ext),
              "p=[/a@42]n=[n@42]e=[iso@42]");
    EXPECT_EQ(info.black_size.filter_desc, "10737418240");
    EXPECT_EQ(info.black_size.sync_id, 42u);
    filter_destroy(&filter);

    filter_init(&filter);
    ASSERT_EQ(ConvertFilterFileToSelectiveSyncInfo(1, filter, info), 0);
    EXPECT_EQ(info.black_size.filter_desc, "0");
    EXPECT_TRUE(info.black_prefix.empty());
    filter_destroy(&filter);

    WhiteList list;
    white_list_init(&list);
    vt_string_set_insert(&list.file.white_ext, "txt");
    vt_string_set_insert(&list.file.white_ext, "*");
    ASSERT_EQ(ConvertWhiteFilterFileToSelectiveSyncInfo(9, list, info), 0);
    EXPECT_EQ(set_text("w", info.white_ext), "w=[*@9 txt@9]");
    white_list_destroy(&list);
}

}  // namespace
