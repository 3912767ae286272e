#include "store/file_event_db.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "event/file_list.h"
#include "event/string_buffer.h"
#include "sqlite_test_util.h"
#include "support/temp_dir.h"
#include "wal_write_probe.h"

using tidewell::testing::RawDb;
using tidewell::testing::TempDir;
using tidewell::testing::WalWriteProbe;
namespace fs = std::filesystem;

namespace {

DBFileInfo file_record(const std::string& path, uint64_t sync_id, uint64_t max_sync_id = 0) {
    DBFileInfo info;
    info.path = path;
    info.fileType = 0;
    info.syncID = sync_id;
    info.maxSyncID = max_sync_id ? max_sync_id : sync_id;
    info.fileSize = 100;
    info.fileCheckSum = "0123456789abcdef0123456789abcdef";
    info.fileModTime = 1700000000;
    return info;
}

DBFileInfo dir_record(const std::string& path, uint64_t sync_id) {
    DBFileInfo info = file_record(path, sync_id);
    info.fileType = 1;
    info.fileSize = 0;
    info.fileCheckSum = "";
    return info;
}

// Every entry of a file list as "d:/path" or "f:/path@mtime/size/acl".
std::vector<std::string> entries(const FileList& list) {
    std::vector<std::string> out;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        std::string e = (it->is_dir() ? "d:" : "f:") + it->path.str();
        if (it->is_file())
            e += "@" + std::to_string(it->attr.mtime) + "/" + std::to_string(it->attr.size) + "/" +
                 it->attr.acl_hash.str();
        out.push_back(e);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class FileEventDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "db");
        db_path = dir.file("db/event-db.sqlite");
        sign_dir = dir.file("db/sign");
        ASSERT_EQ(0, db.initialize(db_path));
    }

    // A signature file with `content`, ready to be handed over.
    std::string signature(const std::string& name, const std::string& content) { return dir.write(name, content); }

    std::vector<std::string> paths(const std::string& table = "event_table") {
        return RawDb(db_path).rows("SELECT path FROM " + table + " ORDER BY path");
    }

    void put(std::initializer_list<std::string> file_paths) {
        for (const auto& p : file_paths) ASSERT_EQ(0, db.setEventInfo(file_record(p, 1)));
    }

    TempDir dir;
    std::string db_path;
    std::string sign_dir;
    FileEventDB db;
};

TEST_F(FileEventDBTest, SchemaMatchesTheStoredLayout) {
    RawDb raw(db_path);
    EXPECT_EQ(raw.rows("SELECT name || ' ' || type || ' ' || \"notnull\" || ' ' || pk || ' ' || "
                       "ifnull(dflt_value, '-') FROM pragma_table_info('event_table')"),
              (std::vector<std::string>{
                  "id INTEGER 0 1 -",
                  "fileType INTEGER 1 0 -",
                  "isExist INTEGER 1 0 -",
                  "syncID NUMERIC 1 0 -",
                  "maxSyncID NUMERIC 1 0 -",
                  "fileSize NUMERIC 1 0 -",
                  "fileModTime NUMERIC 1 0 -",
                  "fileCheckSum TEXT 1 0 -",
                  "path TEXT 1 0 -",
                  "macHash TEXT 1 0 ''",
                  "inode INTEGER 1 0 0",
                  "execBit INTEGER 1 0 0",
                  "unixUid INTEGER 1 0 0",
                  "unixGid INTEGER 1 0 0",
                  "unixMode INTEGER 1 0 0",
                  "unixHash TEXT 1 0 ''",
                  "aclAttribute TEXT 1 0 ''",
                  "aclHash TEXT 1 0 ''",
                  "sharePrivDisabled INTEGER 1 0 0",
                  "sharePrivDenyList TEXT 1 0 ''",
                  "sharePrivRoList TEXT 1 0 ''",
                  "sharePrivRwList TEXT 1 0 ''",
                  "sharePrivHash TEXT 1 0 ''",
              }));
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name = 'event_table'"),
              "CREATE TABLE event_table (id integer primary key, fileType integer NOT NULL, isExist integer NOT NULL, "
              "syncID NUMERIC NOT NULL, maxSyncID NUMERIC NOT NULL, fileSize NUMERIC NOT NULL, "
              "fileModTime NUMERIC NOT NULL, fileCheckSum text NOT NULL, path text unique NOT NULL, "
              "macHash text NOT NULL DEFAULT '', inode INTEGER NOT NULL DEFAULT 0, execBit INTEGER NOT NULL DEFAULT 0, "
              "unixUid INTEGER NOT NULL DEFAULT 0, unixGid INTEGER NOT NULL DEFAULT 0, "
              "unixMode INTEGER NOT NULL DEFAULT 0, unixHash TEXT NOT NULL DEFAULT '', "
              "aclAttribute TEXT NOT NULL DEFAULT '', aclHash TEXT NOT NULL DEFAULT '', "
              "sharePrivDisabled INTEGER NOT NULL DEFAULT 0, sharePrivDenyList TEXT NOT NULL DEFAULT '', "
              "sharePrivRoList TEXT NOT NULL DEFAULT '', sharePrivRwList TEXT NOT NULL DEFAULT '', "
              "sharePrivHash TEXT NOT NULL DEFAULT '')");
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name = 'config_table'"),
              "CREATE TABLE config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT NULL)");
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name = 'recycle_bin_table'"),
              "CREATE TABLE recycle_bin_table (id integer primary key, path text unique NOT NULL, "
              "fileSize NUMERIC NOT NULL, fileCheckSum text NOT NULL, macHash text default NULL, "
              "time NUMERIC NOT NULL)");
    EXPECT_EQ(raw.rows("SELECT key, value FROM config_table ORDER BY key"),
              (std::vector<std::string>{"sync_id|0", "version|8"}));
    EXPECT_EQ(raw.rows("SELECT m.name || ':' || m.tbl_name || '(' || i.name || ')' FROM sqlite_master m, "
                       "pragma_index_info(m.name) i WHERE m.type = 'index' AND m.sql IS NOT NULL ORDER BY m.name"),
              (std::vector<std::string>{
                  "event_table_fileCheckSum_idx:event_table(fileCheckSum)",
                  "event_table_isExist_idx:event_table(isExist)",
                  "event_table_macHash_idx:event_table(macHash)",
                  "event_table_maxSyncID_idx:event_table(maxSyncID)",
                  "event_table_path_idx:event_table(path)",
                  "event_table_syncID_idx:event_table(syncID)",
                  "recycle_bin_table_fileCheckSum_idx:recycle_bin_table(fileCheckSum)",
                  "recycle_bin_table_macHash_idx:recycle_bin_table(macHash)",
                  "recycle_bin_table_time_idx:recycle_bin_table(time)",
              }));
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name = 'event_table_delete_trigger'"),
              "CREATE TRIGGER event_table_delete_trigger AFTER DELETE ON event_table BEGIN "
              "UPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id); END");
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.getSignPath(), sign_dir);

    // Opening again (another instance, the same file) keeps the content.
    put({"/kept"});
    db.destroy();
    FileEventDB again;
    ASSERT_EQ(0, again.initialize(db_path));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/kept"}));
    EXPECT_EQ(0, again.initialize(db_path));  // no-op
}

TEST(FileEventDBNameTest, SignatureNamesFollowTheRowIdBytes) {
    const std::vector<std::pair<uint64_t, const char*>> cases = {
        {5, ".05"},         {0xff, ".ff"},          {0x100, "01/.00"},
        {0x1234, "12/.34"}, {0x10000, "01/00/.00"}, {UINT64_MAX, "ff/ff/ff/ff/ff/ff/ff/.ff"},
    };
    for (const auto& [id, name] : cases) EXPECT_EQ(FileEventDB::path_convert(id), name) << id;
}

TEST_F(FileEventDBTest, RecordsRoundTripEveryField) {
    DBFileInfo in = file_record("/d/it's \"odd\".txt", 18446744073709551615ull, 18446744073709551614ull);
    in.fileSize = 5000000000ull;
    in.fileModTime = 4000000000u;
    in.execBit = 1;
    in.macHash = "mac'";
    in.unixUid = 1000;
    in.unixGid = 4294967295u;
    in.unixMode = 0644;
    in.unixHash = "uh";
    in.aclAttribute = "acl';DROP TABLE event_table;--";
    in.aclHash = "ah";
    in.sharePrivDisabled = 1;
    in.sharePrivDenyList = "deny";
    in.sharePrivRoList = "ro";
    in.sharePrivRwList = "rw";
    in.sharePrivHash = "sh";
    in.inode = 123456789012ull;
    ASSERT_EQ(0, db.setEventInfo(in));

    DBFileInfo out;
    ASSERT_EQ(1, db.getEventInfo(in.path, out));
    EXPECT_TRUE(out.IsValid());
    EXPECT_TRUE(out.IsFile());
    EXPECT_EQ(out.isExist, 1);
    EXPECT_EQ(out.syncID, in.syncID);
    EXPECT_EQ(out.maxSyncID, in.maxSyncID);
    EXPECT_EQ(out.fileSize, in.fileSize);
    EXPECT_EQ(out.fileCheckSum, in.fileCheckSum);
    EXPECT_EQ(out.fileModTime, in.fileModTime);
    EXPECT_EQ(out.execBit, 1u);
    EXPECT_EQ(out.macHash, "mac'");
    EXPECT_EQ(out.unixUid, 1000u);
    EXPECT_EQ(out.unixGid, 4294967295u);
    EXPECT_EQ(out.unixMode, 0644u);
    EXPECT_EQ(out.unixHash, "uh");
    EXPECT_EQ(out.aclAttribute, in.aclAttribute);
    EXPECT_EQ(out.aclHash, "ah");
    EXPECT_EQ(out.sharePrivDisabled, 1u);
    EXPECT_EQ(out.sharePrivDenyList + out.sharePrivRoList + out.sharePrivRwList + out.sharePrivHash, "denyrorwsh");
    EXPECT_EQ(out.inode, in.inode);
    EXPECT_EQ(out.path, in.path);
    std::string id = RawDb(db_path).value("SELECT id FROM event_table WHERE path = '/d/it''s \"odd\".txt'");
    EXPECT_EQ(out.signaturePath, sign_dir + "/" + FileEventDB::path_convert(std::stoull(id)).str());

    // Writing the path again updates the record in place (same row id).
    in.fileSize = 7;
    ASSERT_EQ(0, db.setEventInfo(in));
    ASSERT_EQ(1, db.getEventInfo(in.path, out));
    EXPECT_EQ(out.fileSize, 7u);
    EXPECT_EQ(RawDb(db_path).value("SELECT id FROM event_table WHERE path = '/d/it''s \"odd\".txt'"), id);

    DBFileInfo folder;
    ASSERT_EQ(1, db.getEventInfo("/d", folder));
    EXPECT_TRUE(folder.IsDir());
    EXPECT_EQ(folder.signaturePath, "");

    out.path = "stale";
    EXPECT_EQ(0, db.getEventInfo("/D/it's \"odd\".txt", out));
    EXPECT_EQ(out.path, "");
    EXPECT_EQ(-1, db.getEventInfo("", out));
}

TEST_F(FileEventDBTest, WritingARecordCreatesAndRaisesItsParents) {
    ASSERT_EQ(0, db.setEventInfo(file_record("/a/b/c.txt", 10, 50)));
    RawDb raw(db_path);
    EXPECT_EQ(raw.rows("SELECT path, fileType, syncID, maxSyncID, execBit, unixMode, fileModTime FROM event_table "
                       "WHERE fileType = 1 ORDER BY path"),
              (std::vector<std::string>{"/|1|0|50|1|493|1700000000", "/a|1|0|50|1|493|1700000000",
                                        "/a/b|1|0|50|1|493|1700000000"}));
    ASSERT_EQ(0, db.setEventInfo(file_record("/a/x", 60, 70)));
    EXPECT_EQ(raw.rows("SELECT path, maxSyncID FROM event_table WHERE fileType = 1 ORDER BY path"),
              (std::vector<std::string>{"/|70", "/a|70", "/a/b|50"}));
    ASSERT_EQ(0, db.setEventInfo(file_record("/a/b/y", 5, 5)));
    EXPECT_EQ(raw.rows("SELECT path, maxSyncID FROM event_table WHERE fileType = 1 ORDER BY path"),
              (std::vector<std::string>{"/|70", "/a|70", "/a/b|50"}));
    // A folder record written later replaces the implicit one.
    ASSERT_EQ(0, db.setEventInfo(dir_record("/a/b", 80)));
    EXPECT_EQ(raw.value("SELECT syncID || '|' || maxSyncID FROM event_table WHERE path = '/a/b'"), "80|80");
}

TEST_F(FileEventDBTest, SignatureFilesAreTakenOverAndRemovedWithTheirRecords) {
    // Make the next row id 0x1234.
    ASSERT_EQ(0, RawDb(db_path).exec("INSERT INTO event_table (id, fileType, isExist, syncID, maxSyncID, fileSize, "
                                     "fileModTime, fileCheckSum, path) VALUES (4659, 1, 1, 0, 0, 0, 0, '', '/')"));
    DBFileInfo info = file_record("/a/f", 1);
    info.signaturePath = signature("incoming.sig", "signature one");
    ASSERT_EQ(0, db.setEventInfo(info));
    std::string target = sign_dir + "/12/.34";
    EXPECT_EQ(TempDir::read(target), "signature one");
    EXPECT_FALSE(fs::exists(info.signaturePath.str()));
    DBFileInfo out;
    ASSERT_EQ(1, db.getEventInfo("/a/f", out));
    EXPECT_EQ(out.signaturePath, target);

    // A new signature replaces the old one; an empty name keeps it.
    info.signaturePath = signature("second.sig", "signature two");
    ASSERT_EQ(0, db.setEventInfo(info));
    EXPECT_EQ(TempDir::read(target), "signature two");
    info.signaturePath = "";
    ASSERT_EQ(0, db.setEventInfo(info));
    EXPECT_EQ(TempDir::read(target), "signature two");

    // A signature file that cannot be moved costs only the signature.
    DBFileInfo lost = file_record("/a/g", 1);
    lost.signaturePath = dir.file("does-not-exist.sig");
    EXPECT_EQ(0, db.setEventInfo(lost));
    EXPECT_EQ(1, db.getEventInfo("/a/g", out));
}

struct RemovalCase {
    const char* removed;
    std::vector<std::string> left;
};

TEST_F(FileEventDBTest, RemovingARecordTakesItsSubtreeAndSignaturesOnly) {
    const std::vector<std::string> files = {"/a/f",  "/a/b/g", "/ab/f", "/A/f",  "/[a]/f",
                                            "/a*/f", "/%/f",   "/_/f",  "/a0/f", "/a b/f"};
    const std::vector<RemovalCase> cases = {
        {"/a",
         {"/", "/%", "/%/f", "/A", "/A/f", "/[a]", "/[a]/f", "/_", "/_/f", "/a b", "/a b/f", "/a*", "/a*/f", "/a0",
          "/a0/f", "/ab", "/ab/f"}},
        {"/[a]",
         {"/", "/%", "/%/f", "/A", "/A/f", "/_", "/_/f", "/a", "/a b", "/a b/f", "/a*", "/a*/f", "/a/b", "/a/b/g",
          "/a/f", "/a0", "/a0/f", "/ab", "/ab/f"}},
        {"/a*",
         {"/", "/%", "/%/f", "/A", "/A/f", "/[a]", "/[a]/f", "/_", "/_/f", "/a", "/a b", "/a b/f", "/a/b", "/a/b/g",
          "/a/f", "/a0", "/a0/f", "/ab", "/ab/f"}},
        {"/%",
         {"/", "/A", "/A/f", "/[a]", "/[a]/f", "/_", "/_/f", "/a", "/a b", "/a b/f", "/a*", "/a*/f", "/a/b", "/a/b/g",
          "/a/f", "/a0", "/a0/f", "/ab", "/ab/f"}},
        {"/A",
         {"/", "/%", "/%/f", "/[a]", "/[a]/f", "/_", "/_/f", "/a", "/a b", "/a b/f", "/a*", "/a*/f", "/a/b", "/a/b/g",
          "/a/f", "/a0", "/a0/f", "/ab", "/ab/f"}},
        {"/", {}},  // refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removed);
        db.destroy();
        fs::remove_all(dir.path() / "db");
        fs::create_directories(dir.path() / "db");
        ASSERT_EQ(0, db.initialize(db_path));
        std::vector<std::string> signatures;
        for (const auto& p : files) {
            DBFileInfo info = file_record(p, 1);
            info.signaturePath = signature("s.sig", p);
            ASSERT_EQ(0, db.setEventInfo(info));
            DBFileInfo out;
            ASSERT_EQ(1, db.getEventInfo(p, out));
            signatures.push_back(out.signaturePath.str());
        }
        std::vector<std::string> before = paths();
        ASSERT_EQ(0, db.rmEventInfo(c.removed));
        std::vector<std::string> left = std::string(c.removed) == "/" ? before : c.left;
        EXPECT_EQ(paths(), left);
        for (size_t i = 0; i < files.size(); ++i) {
            bool kept = std::find(left.begin(), left.end(), files[i]) != left.end();
            EXPECT_EQ(fs::exists(signatures[i]), kept) << files[i];
            if (kept) {
                EXPECT_EQ(TempDir::read(signatures[i]), files[i]);
            }
        }
    }
    EXPECT_EQ(-1, db.rmEventInfo(""));
}

TEST_F(FileEventDBTest, SyncIdIfStoresOnlyOverTheExpectedId) {
    ASSERT_EQ(0, db.setSyncId(5));
    EXPECT_EQ(1, db.setSyncIdIf(5, 9)) << "the stored id is the one the pull started from";
    uint64_t id = 0;
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(id, 9u);
    // Someone reset the id meanwhile: the late store must not undo that.
    ASSERT_EQ(0, db.setSyncId(0));
    EXPECT_EQ(0, db.setSyncIdIf(9, 12));
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(1, db.setSyncIdIf(0, 18446744073709551615ull));
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(id, 18446744073709551615ull);
}

TEST_F(FileEventDBTest, SyncIdIsStoredAsDecimalText) {
    uint64_t id = 99;
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(id, 0u);
    ASSERT_EQ(0, db.setSyncId(18446744073709551615ull));
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(id, 18446744073709551615ull);
    EXPECT_EQ(RawDb(db_path).value("SELECT value FROM config_table WHERE key = 'sync_id'"), "18446744073709551615");
    ASSERT_EQ(0, RawDb(db_path).exec("DELETE FROM config_table WHERE key = 'sync_id'"));
    EXPECT_EQ(-1, db.getSyncId(id));
}

TEST_F(FileEventDBTest, RmAllFoldersKeepsTheFirstLevel) {
    put({"/top.txt", "/d/inner.txt", "/d/e/deep.txt"});
    ASSERT_EQ(0, db.rmAllFolders());
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/d", "/top.txt"}));
}

TEST_F(FileEventDBTest, ListingsFillAFileList) {
    put({"/a/f1", "/a/b/f2", "/a/b/c/f3", "/ab/x", "/[a]/y", "/A/z", "/top"});
    DBFileInfo acl = file_record("/a/acl", 9);
    acl.aclHash = "h1";
    acl.fileModTime = 5;
    acl.fileSize = 6;
    ASSERT_EQ(0, db.setEventInfo(acl));
    ASSERT_EQ(0, RawDb(db_path).exec("UPDATE event_table SET isExist = 0 WHERE path = '/top'"));

    struct Case {
        const char* prefix;
        bool recursive;
        std::vector<std::string> expected;
    };
    const std::string f = "@1700000000/100/";
    const std::vector<Case> cases = {
        {"/a", true, {"d:/b", "d:/b/c", "f:/acl@5/6/h1", "f:/b/c/f3" + f, "f:/b/f2" + f, "f:/f1" + f}},
        {"/a/", true, {"d:/b", "d:/b/c", "f:/acl@5/6/h1", "f:/b/c/f3" + f, "f:/b/f2" + f, "f:/f1" + f}},
        {"/[a]", true, {"f:/y" + f}},
        {"/a", false, {"d:/b", "f:/acl@5/6/h1", "f:/f1" + f}},
        {"/", false, {"d:/A", "d:/[a]", "d:/a", "d:/ab"}},
        {"", false, {}},
        {"/missing", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.prefix) + (c.recursive ? " recursive" : " flat"));
        StringBuffer buf;
        FileList list(buf);
        ASSERT_EQ(0, c.recursive ? db.getFileList(&list, c.prefix) : db.getFileListWithoutRecursive(&list, c.prefix));
        EXPECT_EQ(entries(list), c.expected);
    }
    for (const char* prefix : {"", "/"}) {
        SCOPED_TRACE(prefix);
        StringBuffer buf;
        FileList list(buf);
        ASSERT_EQ(0, db.getFileList(&list, prefix));
        EXPECT_EQ(entries(list).size(), 13u);  // every existing record but "/"
    }

    StringBuffer buf;
    FileList limited(buf);
    ASSERT_EQ(0, db.setEventInfo(file_record("/a/new", 20)));
    ASSERT_EQ(0, db.getFileListWithoutRecursive(&limited, "/a", 9));
    EXPECT_EQ(entries(limited), (std::vector<std::string>{"d:/b", "f:/acl@5/6/h1", "f:/f1" + f}));
}

TEST_F(FileEventDBTest, HashLookupsTreatTheHashAsData) {
    DBFileInfo one = file_record("/one", 1);
    one.fileCheckSum = "aaaa";
    ASSERT_EQ(0, db.setEventInfo(one));
    ustring path;
    EXPECT_EQ(1, db.getFilePathByHash("aaaa", "", path));
    EXPECT_EQ(path, "/one");
    EXPECT_EQ(0, db.getFilePathByHash("x' OR '1'='1", "", path));
    EXPECT_EQ(0, db.getFilePathByHash("bbbb", "", path));
    ASSERT_EQ(0, RawDb(db_path).exec("UPDATE event_table SET isExist = 0 WHERE path = '/one'"));
    EXPECT_EQ(0, db.getFilePathByHash("aaaa", "", path));

    ASSERT_EQ(0, db.addFileToRecycleBin("/r'1", 4, "cccc", "m"));
    EXPECT_EQ(1, db.getFilePathByHashFromRecycle("cccc", "", path));
    EXPECT_EQ(path, "/r'1");
    EXPECT_EQ(0, db.getFilePathByHashFromRecycle("x' OR '1'='1", "", path));
}

TEST_F(FileEventDBTest, RecycleTableMovesRotatesAndResets) {
    uint32_t oldest = 42;
    ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
    EXPECT_EQ(oldest, 0u);

    put({"/x/a/f.txt", "/x/g.txt", "/xy/h.txt", "/[x]/i.txt", "/single.txt"});
    ASSERT_EQ(0, db.dumpDirToRecycleBin("/R/x", "/x"));
    ASSERT_EQ(0, db.dumpFileToRecycleBin("/single.txt", "/single.txt"));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/[x]", "/[x]/i.txt", "/xy", "/xy/h.txt"}));
    RawDb raw(db_path);
    EXPECT_EQ(raw.rows("SELECT path, fileSize FROM recycle_bin_table ORDER BY path"),
              (std::vector<std::string>{"/R/x|0", "/R/x/a/f.txt|100", "/R/x/g.txt|100", "/single.txt|100"}));

    // Moving onto a recycle path that is taken fails as a whole and leaves the
    // connection usable.
    EXPECT_EQ(-1, db.dumpFileToRecycleBin("/single.txt", "/xy/h.txt"));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/[x]", "/[x]/i.txt", "/xy", "/xy/h.txt"}));
    ASSERT_EQ(0, db.setEventInfo(file_record("/after", 1)));
    EXPECT_EQ(raw.value("SELECT count(*) FROM event_table WHERE path = '/after'"), "1");

    ASSERT_EQ(0, raw.exec("UPDATE recycle_bin_table SET time = 1000 WHERE path = '/R/x' OR path GLOB '/R/x/*'"));
    ASSERT_EQ(0, raw.exec("UPDATE recycle_bin_table SET time = 3000 WHERE path = '/single.txt'"));
    ASSERT_EQ(0, db.addFileToRecycleBin("/new", 1, "h", "m"));
    ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
    EXPECT_EQ(oldest, 1000u);

    // Only first-level paths are listed: "/R/x" and below are not.
    std::set<ustring> rotate;
    ASSERT_EQ(0, db.getRotateList(2000, rotate));
    EXPECT_TRUE(rotate.empty());
    ASSERT_EQ(0, db.getRotateList(3000, rotate));
    EXPECT_EQ(rotate, std::set<ustring>{"/single.txt"});
    ASSERT_EQ(0, db.rmRotateRecords(2000));
    EXPECT_EQ(raw.rows("SELECT path FROM recycle_bin_table ORDER BY path"),
              (std::vector<std::string>{"/new", "/single.txt"}));
    ASSERT_EQ(0, db.rmRecycleByPath("/single.txt"));
    EXPECT_EQ(raw.rows("SELECT path FROM recycle_bin_table"), std::vector<std::string>{"/new"});
    ASSERT_EQ(0, db.resetRecycleBin());
    EXPECT_EQ(raw.value("SELECT count(*) FROM recycle_bin_table"), "0");
}

TEST_F(FileEventDBTest, InodeLookupsAreNotSupported) {
    ustring path;
    EXPECT_EQ(-1, db.getPathByInode(1, path));
    EXPECT_EQ(-1, db.setPathInode("/a", 1));
}

TEST_F(FileEventDBTest, ALockedDatabaseFailsTheWriteWithoutHalfARecord) {
    RawDb other(db_path);
    ASSERT_EQ(SQLITE_OK, other.exec("BEGIN IMMEDIATE"));
    EXPECT_EQ(-1, db.setEventInfo(file_record("/a/b/f", 1)));
    EXPECT_EQ(-1, db.setSyncId(5));
    ASSERT_EQ(SQLITE_OK, other.exec("COMMIT"));
    EXPECT_EQ(paths(), std::vector<std::string>{});
    EXPECT_EQ(0, db.setEventInfo(file_record("/a/b/f", 1)));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/a", "/a/b", "/a/b/f"}));
}

TEST_F(FileEventDBTest, AFullDiskFailsTheWriteAndLeavesTheDatabaseWhole) {
    WalWriteProbe probe;
    if (!probe.installed()) GTEST_SKIP() << "the unix VFS does not let pwrite64 be replaced";
    put({"/a/f1"});
    probe.fail_next(1);
    EXPECT_EQ(-1, db.setEventInfo(file_record("/a/b/f2", 2)));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/a", "/a/f1"}));
    DBFileInfo out;
    EXPECT_EQ(0, db.getEventInfo("/a/b/f2", out));
    EXPECT_EQ(0, db.setEventInfo(file_record("/a/b/f2", 2)));
    EXPECT_EQ(paths(), (std::vector<std::string>{"/", "/a", "/a/b", "/a/b/f2", "/a/f1"}));
    EXPECT_EQ(RawDb(db_path).value("PRAGMA integrity_check"), "ok");
}

TEST_F(FileEventDBTest, SignaturesOutliveARemovalThatDoesNotCommit) {
    WalWriteProbe probe;
    if (!probe.installed()) GTEST_SKIP() << "the unix VFS does not let pwrite64 be replaced";
    struct Case {
        const char* name;
        std::function<int()> remove;
    } cases[] = {
        {"rmEventInfo", [&] { return db.rmEventInfo("/d"); }},
        {"rmAllFolders", [&] { return db.rmAllFolders(); }},
        {"dumpFileToRecycleBin", [&] { return db.dumpFileToRecycleBin("/R/f", "/d/f"); }},
        {"dumpDirToRecycleBin", [&] { return db.dumpDirToRecycleBin("/R/d", "/d"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DBFileInfo info = file_record("/d/f", 1);
        info.signaturePath = signature("s.sig", c.name);
        ASSERT_EQ(0, db.setEventInfo(info));
        DBFileInfo out;
        ASSERT_EQ(1, db.getEventInfo("/d/f", out));
        const std::string sig = out.signaturePath.str();
        ASSERT_TRUE(fs::exists(sig));

        // The disk is full when the removal commits: the record comes back,
        // and so must the basis of its next delta.
        probe.fail_next(1);
        EXPECT_EQ(-1, c.remove());
        EXPECT_EQ(1, db.getEventInfo("/d/f", out));
        EXPECT_EQ(TempDir::read(sig), c.name);

        EXPECT_EQ(0, c.remove());
        EXPECT_EQ(0, db.getEventInfo("/d/f", out));
        EXPECT_FALSE(fs::exists(sig));
        ASSERT_EQ(0, db.resetRecycleBin());
    }
}

TEST(FileEventDBFailureTest, BadFilesAndAClosedDatabaseFailCleanly) {
    TempDir dir;
    FileEventDB db;
    EXPECT_EQ(-1, db.initialize(dir.file("missing/event-db.sqlite")));
    std::string corrupt = dir.write("corrupt.sqlite", std::string(4096, 'q'));
    EXPECT_EQ(-1, db.initialize(corrupt));
    EXPECT_EQ(db.getDBPath(), "");

    DBFileInfo info = file_record("/a", 1);
    ustring path;
    uint64_t id = 0;
    uint32_t t = 0;
    std::set<ustring> rotate;
    StringBuffer buf;
    FileList list(buf);
    EXPECT_EQ(-1, db.getEventInfo("/a", info));
    EXPECT_EQ(-1, db.setEventInfo(file_record("/a", 1)));
    EXPECT_EQ(-1, db.rmEventInfo("/a"));
    EXPECT_EQ(-1, db.getSyncId(id));
    EXPECT_EQ(-1, db.setSyncId(1));
    EXPECT_EQ(-1, db.rmAllFolders());
    EXPECT_EQ(-1, db.getFileList(&list, "/"));
    EXPECT_EQ(-1, db.getFileListWithoutRecursive(&list, "/"));
    EXPECT_EQ(-1, db.getFilePathByHash("h", "", path));
    EXPECT_EQ(-1, db.addFileToRecycleBin("/a", 1, "h", ""));
    EXPECT_EQ(-1, db.dumpDirToRecycleBin("/R", "/a"));
    EXPECT_EQ(-1, db.getOldestRecyleTime(t));
    EXPECT_EQ(-1, db.getRotateList(1, rotate));
    EXPECT_EQ(-1, db.resetRecycleBin());
    EXPECT_EQ(TempDir::read(corrupt), std::string(4096, 'q'));
}

TEST(FileEventDBFailureTest, AReadOnlyFileRefusesWrites) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not stop writes";
    TempDir dir;
    std::string path = dir.file("event-db.sqlite");
    {
        FileEventDB db;
        ASSERT_EQ(0, db.initialize(path));
    }
    fs::permissions(path, fs::perms::owner_read);
    FileEventDB db;
    if (db.initialize(path) == 0) {
        EXPECT_EQ(-1, db.setEventInfo(file_record("/a", 1)));
    }
}

}  // namespace
