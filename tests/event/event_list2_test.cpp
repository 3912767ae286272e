#include "event/event_list2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "base/logger.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kS = Event::F_SERVER;
constexpr uint32_t kD = Event::F_DIR;
constexpr uint64_t kMadeUp = 9223372036854775807ULL;

Event Ev(Event::Type type, uint32_t mode, const std::string& path, uint64_t sync_id = 0, const char* hash = "") {
    Event e;
    e.m_type = type;
    e.m_mode = mode;
    e.m_path = path;
    e.m_sync_id = sync_id;
    e.m_data_hash = hash;
    return e;
}

class EventTreeTest : public ::testing::Test {
protected:
    EventTreeTest()
        : tree([this](const ustring& path) {
              removed.push_back(path.str());
              return 0;
          }) {
        tree.SetWatchPath("/home/u/sync");
    }

    std::string PopPath() {
        Event e;
        if (tree.Pop(e) != 0) return "-";
        return e.m_path.str();
    }

    Event PopEvent() {
        Event e;
        EXPECT_EQ(tree.Pop(e), 0);
        return e;
    }

    // Status of the node at `path` (files and directories are told apart by
    // `is_dir`), or -1 when there is none.
    int StatusOf(const std::string& path, bool is_dir = false) {
        for (const auto& n : tree.Snapshot()) {
            if (n.path == path.c_str() && n.is_dir == is_dir) return n.status;
        }
        return -1;
    }

    EventList2::NodeInfo NodeAt(const std::string& path, bool is_dir = false) {
        for (const auto& n : tree.Snapshot()) {
            if (n.path == path.c_str() && n.is_dir == is_dir) return n;
        }
        ADD_FAILURE() << "no node " << path;
        return {};
    }

    std::vector<std::string> removed;
    EventList2 tree;
};

// ---------------------------------------------------------------------------
// Merging

struct MergeCase {
    const char* name;
    Event::Type old_type;
    uint32_t old_mode;
    uint64_t old_sync;
    Event::Type new_type;
    uint32_t new_mode;
    uint64_t new_sync;
    bool new_wins;
    uint32_t added;  // flags added to the winner
};

class FileMergeTest : public EventTreeTest, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(FileMergeTest, MergesByTheTable) {
    const MergeCase& c = GetParam();
    Event old_e = Ev(c.old_type, c.old_mode, "/d/f", c.old_sync, "old");
    Event new_e = Ev(c.new_type, c.new_mode, "/d/f", c.new_sync, "new");
    ASSERT_EQ(tree.Push(old_e), 0);
    Event previous;
    ASSERT_EQ(tree.Push(new_e, previous), 0);
    EXPECT_EQ(previous.m_data_hash, "old");

    Event got = PopEvent();
    const Event& winner = c.new_wins ? new_e : old_e;
    EXPECT_EQ(got.m_data_hash, winner.m_data_hash);
    EXPECT_EQ(got.m_type, winner.m_type);
    EXPECT_EQ(got.m_mode, winner.m_mode | c.added);
    EXPECT_EQ(tree.GetServerEventCount(), winner.isServerEvent() ? 1 : 0);
    EXPECT_EQ(tree.GetLocalEventCount(), winner.isServerEvent() ? 0 : 1);
}

constexpr Event::Type LC = Event::EV_MODIFY;
constexpr Event::Type SC = Event::EV_CREATE;
constexpr Event::Type RM = Event::EV_REMOVE;

INSTANTIATE_TEST_SUITE_P(
    Table, FileMergeTest,
    ::testing::Values(
        MergeCase{"lc_lc", LC, 0, 0, LC, 0, 0, true, 0}, MergeCase{"lc_lr", LC, 0, 0, RM, 0, 0, true, 0},
        MergeCase{"lc_sc", LC, 0, 0, SC, kS, 5, true, Event::F_CONFLICT},
        MergeCase{"lc_sr", LC, 0, 0, RM, kS, 5, false, 0}, MergeCase{"lr_lc", RM, 0, 0, LC, 0, 0, true, 0},
        MergeCase{"lr_lr", RM, 0, 0, RM, 0, 0, true, 0}, MergeCase{"lr_sc", RM, 0, 0, SC, kS, 5, true, 0},
        MergeCase{"lr_sr", RM, 0, 0, RM, kS, 5, true, 0},
        MergeCase{"sc_lc", SC, kS, 5, LC, 0, 0, false, Event::F_CONFLICT},
        MergeCase{"sc_lr", SC, kS, 5, RM, 0, 0, false, 0}, MergeCase{"sr_lc", RM, kS, 5, LC, 0, 0, true, 0},
        MergeCase{"sr_lr", RM, kS, 5, RM, 0, 0, false, 0},
        // server against server: the higher sync id, old kept on a tie
        MergeCase{"sc_sc_older_new", SC, kS, 7, SC, kS, 5, false, 0},
        MergeCase{"sc_sc_newer_new", SC, kS, 5, SC, kS, 7, true, 0},
        MergeCase{"sc_sc_tie", SC, kS, 7, SC, kS, 7, false, 0}, MergeCase{"sc_sr", SC, kS, 9, RM, kS, 10, true, 0},
        MergeCase{"sr_sc_older_new", RM, kS, 9, SC, kS, 3, false, 0}, MergeCase{"sr_sr", RM, kS, 2, RM, kS, 3, true, 0},
        // a made-up sync id never wins against a newer server event
        MergeCase{"made_up_old", SC, kS, kMadeUp, SC, kS, 5, true, 0},
        MergeCase{"made_up_old_remove", SC, kS, kMadeUp, RM, kS, 1, true, 0},
        MergeCase{"made_up_new", SC, kS, 5, SC, kS, kMadeUp, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class DirMergeTest : public EventTreeTest, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(DirMergeTest, MergesDirectories) {
    const MergeCase& c = GetParam();
    Event old_e = Ev(c.old_type, c.old_mode | kD, "/d", c.old_sync, "old");
    Event new_e = Ev(c.new_type, c.new_mode | kD, "/d", c.new_sync, "new");
    ASSERT_EQ(tree.Push(old_e), 0);
    ASSERT_EQ(tree.Push(new_e), 0);
    Event got = PopEvent();
    const Event& winner = c.new_wins ? new_e : old_e;
    EXPECT_EQ(got.m_data_hash, winner.m_data_hash);
    EXPECT_EQ(got.m_mode, winner.m_mode | c.added);
}

INSTANTIATE_TEST_SUITE_P(Table, DirMergeTest,
                         ::testing::Values(MergeCase{"lr_lc", RM, 0, 0, SC, 0, 0, true, Event::F_LOCAL_SUBDIR_RESCAN},
                                           MergeCase{"sr_sc", RM, kS, 3, SC, kS, 5, true,
                                                     Event::F_SERVER_SUBDIR_RESCAN},
                                           MergeCase{"sr_sc_older", RM, kS, 9, SC, kS, 5, false, 0},
                                           MergeCase{"sr_lc", RM, kS, 3, SC, 0, 0, true, Event::F_SERVER_SUBDIR_RESCAN},
                                           MergeCase{"lc_sr", SC, 0, 0, RM, kS, 1, true, 0},
                                           MergeCase{"sc_lc", SC, kS, 4, LC, 0, 0, true, 0},
                                           MergeCase{"sc_sc_older", SC, kS, 7, SC, kS, 5, false, 0},
                                           MergeCase{"lr_lr", RM, 0, 0, RM, 0, 0, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventTreeTest, RepeatedLocalChangesLeaveOneEvent) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a.txt", 0, "1")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a.txt", 0, "2")), 0);
    EXPECT_EQ(tree.GetLocalEventCount(), 1);
    EXPECT_EQ(PopEvent().m_data_hash, "2");
    EXPECT_EQ(PopPath(), "-");
}

TEST_F(EventTreeTest, FileAndDirectoryOfOneNameAreSeparateNodes) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/n")), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kD, "/n")), 0);
    EXPECT_EQ(tree.GetLocalEventCount(), 2);
    EXPECT_EQ(StatusOf("/n", false), EventList2::WAITING);
    EXPECT_EQ(StatusOf("/n", true), EventList2::WAITING);
}

// ---------------------------------------------------------------------------
// Refused input

TEST_F(EventTreeTest, RefusesBadPathsWithoutChange) {
    tidewell::testing::TempDir dir;
    const std::string log = dir.file("log");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, log.c_str(), "", 50), 0);

    ASSERT_EQ(tree.Push(Ev(LC, 0, "/keep")), 0);
    const std::string long_name(1024, 'n');
    // Everything the shared event-path check refuses, each with a warning:
    // paths that would leave the session folder or name it ambiguously, and
    // those beyond the length limits.
    const std::string cases[] = {
        "/a/",
        "",
        "/" + long_name,
        "/" + long_name + "/f",
        "/" + std::string(4095, 'p'),
        "/../../x",
        "/a/../../b",
        "/a/./b",
        "/..",
        "a/b",
        "/a//b",
        "//",
    };
    for (const std::string& path : cases) {
        for (uint32_t mode : {0u, kD, kS}) {
            EXPECT_EQ(tree.Push(Ev(LC, mode, path)), -1) << path.substr(0, 40);
            Event e;
            EXPECT_EQ(tree.Pop(ustring(path), e), -1);
            EXPECT_EQ(tree.DoneEvent(Ev(LC, mode, path)), -1);
            EXPECT_EQ(tree.Redo(Ev(LC, mode, path)), -1);
        }
    }
    EXPECT_EQ(tree.GetLocalEventCount(), 1);
    EXPECT_EQ(tree.GetServerEventCount(), 0);
    EXPECT_EQ(tree.Snapshot().size(), 2u);  // the root and /keep
    // The longest accepted forms.
    EXPECT_EQ(tree.Push(Ev(LC, 0, "/" + std::string(1023, 'n'))), 0);

    Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50);
    const std::string text = tidewell::testing::TempDir::read(log);
    size_t warnings = 0;
    for (size_t pos = text.find("[WARNING] event_list2.cpp("); pos != std::string::npos;
         pos = text.find("[WARNING] event_list2.cpp(", pos + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, std::size(cases) * 3);  // one per refused push
}

TEST_F(EventTreeTest, EmptyEventStoresNothingOnItsOwn) {
    EXPECT_EQ(tree.Push(Ev(Event::EV_EMPTY, 0, "/a/b")), -1);
    EXPECT_EQ(tree.Push(Ev(Event::EV_EMPTY, kD, "/")), -1);
    EXPECT_EQ(tree.Snapshot().size(), 1u);
    EXPECT_EQ(PopPath(), "-");
    // Merged into a pending event it keeps that event.
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/b", 0, "h")), 0);
    EXPECT_EQ(tree.Push(Ev(Event::EV_EMPTY, 0, "/a/b")), 0);
    EXPECT_EQ(tree.GetLocalEventCount(), 1);
    EXPECT_EQ(PopEvent().m_data_hash, "h");
}

// ---------------------------------------------------------------------------
// Drops under a directory removal

TEST_F(EventTreeTest, ServerDirectoryRemovalDropsOlderWaitingServerEvents) {
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/busy.txt", 3)), 0);
    ASSERT_EQ(PopPath(), "/d/busy.txt");
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/old.txt", 5)), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/new.txt", 12)), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/local.txt")), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kS | kD, "/d/sub", 4)), 0);  // its own event goes, the kept file holds it
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/sub/keep.txt", 11)), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/gone/x.txt", 2)), 0);  // a whole sub-tree goes
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/gone/y.txt", 9)), 0);

    removed.clear();

    ASSERT_EQ(tree.Push(Ev(RM, kS | kD, "/d", 10)), 0);

    EXPECT_EQ(StatusOf("/d/old.txt"), -1);
    EXPECT_EQ(StatusOf("/d/new.txt"), EventList2::WAITING);
    EXPECT_EQ(StatusOf("/d/local.txt"), EventList2::WAITING);
    EXPECT_EQ(StatusOf("/d/busy.txt"), EventList2::PROCESSING);
    EXPECT_EQ(StatusOf("/d/sub", true), EventList2::DONE);
    EXPECT_EQ(NodeAt("/d/sub", true).event.m_type, Event::EV_EMPTY);
    EXPECT_EQ(StatusOf("/d/sub/keep.txt"), EventList2::WAITING);
    EXPECT_EQ(StatusOf("/d/gone", true), -1);
    EXPECT_EQ(StatusOf("/d/gone/y.txt"), -1);
    EXPECT_EQ(StatusOf("/d", true), EventList2::WAITING);

    // Server: /d, new.txt, busy.txt, keep.txt; local: local.txt.
    EXPECT_EQ(tree.GetServerEventCount(), 4);
    EXPECT_EQ(tree.GetLocalEventCount(), 1);

    std::vector<std::string> expected = {"/home/u/sync/d/sub", "/home/u/sync/d/gone/x.txt", "/home/u/sync/d/gone/y.txt",
                                         "/home/u/sync/d/old.txt"};
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> got = removed;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);  // the structural /d/gone had no entry of its own
}

TEST_F(EventTreeTest, LocalDirectoryRemovalDropsOnlyWaitingLocalEvents) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/a/x")), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/a/y", 1)), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/d/b")), 0);
    ASSERT_EQ(tree.Push(Ev(RM, kD, "/d")), 0);
    EXPECT_EQ(StatusOf("/d/a/x"), -1);
    EXPECT_EQ(StatusOf("/d/a/y"), EventList2::WAITING);
    EXPECT_EQ(StatusOf("/d/b", true), -1);
    EXPECT_EQ(tree.GetLocalEventCount(), 1);  // the removal itself
    EXPECT_EQ(tree.GetServerEventCount(), 1);
}

TEST_F(EventTreeTest, FailingStatusRemovalIsLoggedAndDropsGoOn) {
    int calls = 0;
    tree.SetFileStatusRemover([&](const ustring&) {
        ++calls;
        return -1;
    });
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/a")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/b")), 0);
    ASSERT_EQ(tree.Push(Ev(RM, kD, "/d")), 0);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(tree.Snapshot().size(), 2u);
}

TEST_F(EventTreeTest, DirectoryCreationAfterLocalRemovalIsMarkedForRescan) {
    ASSERT_EQ(tree.Push(Ev(RM, kD, "/d")), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kD, "/d")), 0);
    Event e = PopEvent();
    EXPECT_EQ(e.m_type, SC);
    EXPECT_TRUE(e.isLocalSubDirRescan());
    EXPECT_FALSE(e.isServerSubDirRescan());
}

TEST_F(EventTreeTest, RemovalHandedOutWithNonRemovalsInsideIsMarkedWithStat) {
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/f", 20)), 0);
    ASSERT_EQ(tree.Push(Ev(RM, kS | kD, "/d", 10)), 0);  // f is newer and stays
    Event e = PopEvent();
    EXPECT_EQ(e.m_path, "/d");
    EXPECT_TRUE(e.isServerSubDirRescanWithStat());

    // Only removals inside: no mark.
    EventList2 other;
    ASSERT_EQ(other.Push(Ev(RM, kS, "/d/f", 20)), 0);
    ASSERT_EQ(other.Push(Ev(RM, kS | kD, "/d", 10)), 0);
    Event f;
    ASSERT_EQ(other.Pop(f), 0);
    EXPECT_EQ(f.m_path, "/d");
    EXPECT_FALSE(f.isSubDirRescan());
}

TEST_F(EventTreeTest, WaitingRemovalPassedWhileOtherSideIsProcessingInsideIsMarked) {
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/f", 1)), 0);
    Event f = PopEvent();
    ASSERT_EQ(tree.Push(Ev(RM, kD, "/d")), 0);  // a local removal; the server file is out
    EXPECT_EQ(PopPath(), "-");                  // passes /d and marks it
    ASSERT_EQ(tree.DoneEvent(f), 0);
    Event d = PopEvent();
    EXPECT_EQ(d.m_path, "/d");
    EXPECT_TRUE(d.isLocalSubDirRescanWithStat());
}

// ---------------------------------------------------------------------------
// Handing out

TEST_F(EventTreeTest, RootEventGoesFirstAndBlocksEverything) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/f")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/b")), 0);
    Event f = PopEvent();
    EXPECT_EQ(f.m_path, "/b");
    ASSERT_EQ(tree.Push(Ev(SC, kS | kD, "/", 3)), 0);
    Event r = PopEvent();
    EXPECT_EQ(r.m_path, "/");  // while /b is still processing
    EXPECT_EQ(PopPath(), "-");
    ASSERT_EQ(tree.DoneEvent(f), 0);
    EXPECT_EQ(PopPath(), "-");
    ASSERT_EQ(tree.Redo(r), 0);
    EXPECT_EQ(PopPath(), "/");
    ASSERT_EQ(tree.DoneEvent(r), 0);
    EXPECT_EQ(PopPath(), "/a/f");
    EXPECT_EQ(tree.GetServerEventCount(), 0);
}

TEST_F(EventTreeTest, RootDoneChecksOriginAndStatus) {
    ASSERT_EQ(tree.Push(Ev(SC, kS | kD, "/", 3)), 0);
    EXPECT_EQ(tree.DoneEvent(Ev(SC, kS | kD, "/")), -1);  // not processing
    EXPECT_EQ(tree.Redo(Ev(SC, kS | kD, "/")), -1);
    Event r = PopEvent();
    EXPECT_EQ(tree.DoneEvent(Ev(SC, kD, "/")), -1);  // other origin
    EXPECT_EQ(tree.DoneEvent(r), 0);
    EXPECT_TRUE(tree.IsEmpty());
}

TEST_F(EventTreeTest, WaitingDirectoryWithProcessingFileInsideWaits) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/f")), 0);
    Event f = PopEvent();
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/d")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/g")), 0);
    EXPECT_EQ(PopPath(), "-");
    ASSERT_EQ(tree.DoneEvent(f), 0);
    EXPECT_EQ(PopPath(), "/d");
    EXPECT_EQ(PopPath(), "-");  // nothing inside a processing directory
}

TEST_F(EventTreeTest, BusyFirstSubdirectoryDoesNotStopLaterSiblings) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/long.bin")), 0);
    Event busy = PopEvent();
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/a/blocked")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/blocked/in")), 0);
    Event blocked_dir = PopEvent();
    EXPECT_EQ(blocked_dir.m_path, "/a/blocked");
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/b/one")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/c/deep/two")), 0);
    // /a holds only busy or blocked items; /b and /c get their turn.
    EXPECT_EQ(PopPath(), "/b/one");
    EXPECT_EQ(PopPath(), "/c/deep/two");
    EXPECT_EQ(PopPath(), "-");
    ASSERT_EQ(tree.DoneEvent(blocked_dir), 0);
    EXPECT_EQ(PopPath(), "/a/blocked/in");
    ASSERT_EQ(tree.DoneEvent(busy), 0);
}

TEST_F(EventTreeTest, HandsOutInInsertionOrderFilesFirst) {
    for (const char* p : {"/z/1", "/y", "/a/2", "/x", "/z/0"}) ASSERT_EQ(tree.Push(Ev(LC, 0, p)), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/m")), 0);
    std::vector<std::string> order;
    for (std::string p = PopPath(); p != "-"; p = PopPath()) order.push_back(p);
    EXPECT_EQ(order, (std::vector<std::string>{"/y", "/x", "/z/1", "/z/0", "/a/2", "/m"}));
}

TEST_F(EventTreeTest, RetriedEventIsHandedOutOnlyByPath) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/f", 0, "1")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/e")), 0);
    Event first = PopEvent();
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/f", 0, "2")), 0);
    EXPECT_EQ(StatusOf("/d/f"), EventList2::RETRY);
    EXPECT_EQ(tree.GetLocalEventCount(), 2);
    EXPECT_EQ(PopPath(), "/e");
    EXPECT_EQ(PopPath(), "-");  // the RETRY node is skipped
    EXPECT_EQ(tree.DoneEvent(first), -1);
    Event again;
    EXPECT_EQ(tree.Pop(ustring("/e"), again), -1);  // not RETRY
    ASSERT_EQ(tree.Pop(ustring("/d/f"), again), 0);
    EXPECT_EQ(again.m_data_hash, "2");
    EXPECT_EQ(tree.Pop(ustring("/d/f"), again), -1);
    EXPECT_EQ(tree.DoneEvent(again), 0);
    EXPECT_EQ(StatusOf("/d", true), -1);  // pruned
}

TEST_F(EventTreeTest, RetriedEventOfOneKindLeavesTheOtherKindAlone) {
    // A file /n and a directory /n, both out, both merged into.
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/n", 0, "f1")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/n", 0, "d1")), 0);
    Event file = PopEvent();
    Event dir = PopEvent();
    ASSERT_TRUE(file.isFile());
    ASSERT_TRUE(dir.isDir());
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/n", 0, "f2")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/n", 0, "d2")), 0);

    Event again;
    ASSERT_EQ(tree.Pop(ustring("/n"), false, again), 0);
    EXPECT_EQ(again.m_data_hash, "f2");
    EXPECT_EQ(StatusOf("/n", true), EventList2::RETRY) << "the directory's worker still owns its merge";
    EXPECT_EQ(tree.Pop(ustring("/n"), false, again), -1);
    ASSERT_EQ(tree.Pop(ustring("/n"), true, again), 0);
    EXPECT_EQ(again.m_data_hash, "d2");
    EXPECT_EQ(tree.Pop(ustring("/"), false, again), -1);
}

TEST_F(EventTreeTest, RetriedItemKeepsItsDirectoryFromRunning) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/f", 0, "1")), 0);
    Event f = PopEvent();
    ASSERT_EQ(tree.Push(Ev(SC, kS | kD, "/d", 4)), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/d/f", 5)), 0);  // the worker still has /d/f
    EXPECT_EQ(PopPath(), "-");
    EXPECT_EQ(tree.DoneEvent(f), -1);
    Event merged;
    ASSERT_EQ(tree.Pop(ustring("/d/f"), merged), 0);
    EXPECT_TRUE(merged.isServerEvent());
    EXPECT_EQ(PopPath(), "-");
    ASSERT_EQ(tree.DoneEvent(merged), 0);
    EXPECT_EQ(PopPath(), "/d");
    auto root = tree.Snapshot().front();
    EXPECT_EQ(root.refServerCount, 1);
    EXPECT_EQ(root.refLocalCount, 0);
}

TEST_F(EventTreeTest, RedoMovesNodeAndAncestorsToTheBack) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/x/y")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/x/z")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/w/v")), 0);
    Event y = PopEvent();
    ASSERT_EQ(y.m_path, "/x/y");
    ASSERT_EQ(tree.Redo(y), 0);
    // /x went behind /w, and y behind z.
    EXPECT_EQ(PopPath(), "/w/v");
    EXPECT_EQ(PopPath(), "/x/z");
    EXPECT_EQ(PopPath(), "/x/y");
    EXPECT_EQ(tree.Redo(Ev(LC, 0, "/x/missing")), -1);
    EXPECT_EQ(tree.Redo(Ev(LC, 0, "/q/y")), -1);
    EXPECT_EQ(tree.Redo(Ev(LC, kD, "/")), -1);
}

TEST_F(EventTreeTest, RedoOfMissingNodeChangesNoOrder) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/x/y")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/w/v")), 0);
    EXPECT_EQ(tree.Redo(Ev(LC, 0, "/x/nothing")), -1);
    EXPECT_EQ(tree.Redo(Ev(LC, kD, "/x")), -1);  // structural: nothing to retry
    EXPECT_EQ(PopPath(), "/x/y");
}

TEST_F(EventTreeTest, DonePrunesEmptyStructuralDirectories) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/b/c/f")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/a")), 0);  // /a has an event: it stays after its file is done
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/b/other")), 0);
    Event f = PopEvent();
    EXPECT_EQ(f.m_path, "/a");
    ASSERT_EQ(tree.DoneEvent(f), 0);
    EXPECT_EQ(StatusOf("/a", true), EventList2::DONE);
    Event g = PopEvent();
    Event h = PopEvent();
    EXPECT_EQ(g.m_path, "/a/b/other");
    EXPECT_EQ(h.m_path, "/a/b/c/f");
    ASSERT_EQ(tree.DoneEvent(h), 0);
    EXPECT_EQ(StatusOf("/a/b/c", true), -1);
    EXPECT_EQ(StatusOf("/a/b", true), EventList2::DONE);
    ASSERT_EQ(tree.DoneEvent(g), 0);
    EXPECT_EQ(tree.Snapshot().size(), 1u);  // only the root is left
    EXPECT_TRUE(tree.IsEmpty());
}

TEST_F(EventTreeTest, DoneFailures) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/d/f")), 0);
    ASSERT_EQ(tree.Push(Ev(LC, kD, "/e")), 0);
    EXPECT_EQ(tree.DoneEvent(Ev(LC, 0, "/d/f")), -1);  // waiting
    Event f = PopEvent();
    EXPECT_EQ(tree.DoneEvent(Ev(LC, 0, "/x/f")), -1);      // no parent
    EXPECT_EQ(tree.DoneEvent(Ev(LC, 0, "/d/g")), -1);      // no node
    EXPECT_EQ(tree.DoneEvent(Ev(LC, kS, "/d/f")), -1);     // other origin
    EXPECT_EQ(tree.DoneEvent(Ev(LC, kD, "/d/f")), -1);     // no such directory
    EXPECT_EQ(tree.DoneEvent(Ev(LC, kD | kS, "/e")), -1);  // other origin
    EXPECT_EQ(tree.DoneEvent(f), 0);
    EXPECT_EQ(tree.DoneEvent(f), -1);
    EXPECT_EQ(tree.GetLocalEventCount(), 1);
}

TEST_F(EventTreeTest, ClearDropsEverything) {
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/b")), 0);
    ASSERT_EQ(tree.Push(Ev(SC, kS, "/c", 1)), 0);
    PopEvent();
    tree.Clear();
    EXPECT_TRUE(tree.IsEmpty());
    EXPECT_EQ(tree.Snapshot().size(), 1u);
    EXPECT_EQ(PopPath(), "-");
    ASSERT_EQ(tree.Push(Ev(LC, 0, "/a/b")), 0);
    EXPECT_EQ(PopPath(), "/a/b");
}

TEST_F(EventTreeTest, PrintShowsTheTree) {
    ASSERT_EQ(tree.Push(Ev(SC, kS | Event::F_CONFLICT, "/d/f", 2)), 0);
    ASSERT_EQ(tree.Push(Ev(RM, kD, "/e")), 0);
    PopEvent();
    std::ostringstream out;
    tree.Print(out);
    EXPECT_EQ(out.str(),
              "* /, ref = (0, 1), mode = local, status = DONE, path = \n"
              "  * d, ref = (0, 1), mode = local, status = DONE, path = \n"
              "    + f, mode = server,conflict, status = PROCESSING, path = /d/f\n"
              "  * e, ref = (0, 0), mode = local, status = WAITING, path = /e\n");
}

}  // namespace
