// The session actions through the control socket of a daemon in this
// process: the real detector and syncers, fake workers, a scripted server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <set>

#include "base/task.h"
#include "filter/black_list2.h"
#include "session/registry.h"
#include "store/file_event_db.h"
#include "store/progress_cache.h"
#include "support/control_daemon.h"
#include "support/scripted_server.h"
#include "support/server_views.h"
#include "sync/detector.h"
#include "sync/event_manager.h"

namespace tidewell::testing {
namespace {

namespace fs = std::filesystem;

class SessionActionsTest : public ::testing::Test {
protected:
    void Start(bool with_workers = true) {
        views.Attach(server);
        daemon = std::make_unique<ControlDaemon>(TestTaskFactory(with_workers ? &workers : nullptr));
    }
    void LinkWithConnection() {
        ASSERT_EQ(daemon->Action("link"), AckOnly());
        ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    }
    Registry::Entry Entry(uint64_t id) {
        Registry::Entry e;
        EXPECT_EQ(Registry::getInstance().Find(id, e), 1) << "session " << id;
        return e;
    }
    PObject Resume(uint64_t id) { return daemon->Request(Msg({{"action", "resume"}, {"session_id", id}})); }
    static std::set<std::string> Names(const std::string& dir) {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
        return out;
    }

    FakeWorker::Control workers;
    ScriptedServer server;
    ServerViews views;
    TempDir root;
    std::unique_ptr<ControlDaemon> daemon;
};

// A task pointer for pulling from the event manager in the test itself.
class Puller : public Task {};

TEST_F(SessionActionsTest, MinimalAddSessionTakesTheDefaultsStartsPausedAndQueuesAMergeRescan) {
    Start(/*with_workers=*/false);
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    // What an earlier run left in the working directory goes.
    std::string working = dirs.folder + "/.CorvexaWorkingDirectory";
    fs::create_directories(working + "/#CorvRecycle/old");
    root.write("s5-folder/.CorvexaWorkingDirectory/partial.tmp", "x");
    root.write("s5-folder/keep.txt", "mine");

    PObject add = SessionRequest(5, dirs, 1, 44);
    ASSERT_EQ(daemon->Request(add), AckOnly());

    Registry::Entry e = Entry(5);
    EXPECT_EQ(e.conn_id, 1u);
    EXPECT_EQ(e.view_id, 44u);
    EXPECT_EQ(e.node_id, 44u) << "node id defaults to the view id";
    EXPECT_TRUE(e.recursive);
    EXPECT_EQ(e.remote_path, ustring("/"));
    EXPECT_FALSE(e.read_only);
    EXPECT_EQ(e.perm_mode, PERM_SYNC_ALL);
    EXPECT_TRUE(e.pause) << "a new session waits for a resume";
    EXPECT_EQ(e.local_path, ustring(dirs.folder));
    EXPECT_EQ(Names(working), std::set<std::string>{"#CorvRecycle"});
    EXPECT_TRUE(Names(working + "/#CorvRecycle").empty());
    EXPECT_EQ(TempDir::read(dirs.folder + "/keep.txt"), "mine");
    EXPECT_TRUE(fs::is_regular_file(dirs.config + "/db/event-db.sqlite"));
    EXPECT_TRUE(fs::is_directory(dirs.config + "/db/sign"));
    // The white list's "*" left one resume condition: cached once, not once
    // by the comparison and again from the database.
    std::vector<ProgressCache::Entry> conditions;
    ProgressCache::getInstance().getProgressEntries(conditions);
    ASSERT_EQ(conditions.size(), 1u);
    EXPECT_EQ(conditions[0].condition.filter_desc, ustring("*"));

    // Paused: nothing is pulled. Resumed: the white list's resume condition
    // is fetched, then the session is up to date and its first rescan, in
    // merge mode, is issued once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(Pulls(server, false).empty());
    ASSERT_EQ(Resume(5), AckOnly());
    ASSERT_TRUE(daemon->WaitForLog("session #5 is up-to-date, issue rescan"));
    ASSERT_TRUE(Eventually([] { return EventManager::getInstance().GetAllPendingEventCount(5) == 1; }));
    Puller puller;
    Event root_modify, rescan;
    ASSERT_EQ(EventManager::getInstance().PullEvent(&puller, root_modify), 0);
    EXPECT_EQ(root_modify.m_path, ustring("/"));
    EXPECT_FALSE(root_modify.isRescan());
    EventManager::getInstance().DoneEvent(&puller, root_modify);
    ASSERT_TRUE(Eventually([&] { return EventManager::getInstance().PullEvent(&puller, rescan) == 0; }));
    EXPECT_TRUE(rescan.isRescan());
    EXPECT_TRUE(rescan.isMerge()) << "sync_mode 0 asks for a merge";
    EventManager::getInstance().DoneEvent(&puller, rescan);

    size_t pulls = Pulls(server, false).size();
    ASSERT_TRUE(Eventually([&] { return Pulls(server, false).size() >= pulls + 2; }));
    EXPECT_EQ(daemon->CountInLog("issue rescan"), 1u) << "the first rescan is issued once";
}

TEST_F(SessionActionsTest, AMissingRequiredMemberRepliesAtOnceAndCreatesNothing) {
    Start();
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    for (const char* member : {"connection_id", "session_id", "view_id", "config_path", "sync_folder"}) {
        PObject add = SessionRequest(5, dirs);
        add.asMap().erase(member);
        EXPECT_EQ(daemon->Request(add), ErrorReply("Invalid parameters.")) << member;
    }
    // Mistyped members and the id 0, which means "every session".
    PObject text_id = SessionRequest(5, dirs);
    text_id["session_id"] = "5";
    PObject zero = SessionRequest(0, dirs);
    PObject empty_folder = SessionRequest(5, dirs);
    empty_folder["sync_folder"] = "";
    for (const PObject& add : {text_id, zero, empty_folder})
        EXPECT_EQ(daemon->Request(add), ErrorReply("Invalid parameters.")) << add.toString().c_str();
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
    EXPECT_FALSE(fs::exists(dirs.folder + "/.CorvexaWorkingDirectory"));
    EXPECT_FALSE(fs::exists(dirs.config + "/db"));

    EXPECT_EQ(daemon->Request(Msg({{"action", "reload_session"}})), ErrorReply("Invalid parameter"));
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
}

TEST_F(SessionActionsTest, SessionActionsBeforeLinkAreRefused) {
    Start();
    SessionDirs dirs(root, "s5");
    EXPECT_EQ(daemon->Request(SessionRequest(5, dirs)), ErrorReply("Failed to create registry entry."));
    EXPECT_FALSE(fs::exists(dirs.folder + "/.CorvexaWorkingDirectory")) << "nothing is prepared on disk";
    EXPECT_EQ(daemon->Request(Msg({{"action", "remove_session"}, {"session_id", uint64_t{5}}})),
              ErrorReply("Invalid session."));
    EXPECT_EQ(daemon->Request(Msg({{"action", "remove_session"}})), ErrorReply("Invalid session."));
    EXPECT_EQ(daemon->Request(Msg({{"action", "reload_session"}, {"session_id", uint64_t{5}}})),
              ErrorReply("Invalid session."));
    PObject event = Msg({{"action", "add_event"}, {"session_id", uint64_t{5}}, {"type", "upload"}, {"path", "/a"}});
    EXPECT_EQ(daemon->Request(event), ErrorReply("Invalid session."));
    for (const char* action : {"pause", "resume"})
        EXPECT_EQ(daemon->Request(Msg({{"action", action}, {"session_id", uint64_t{0}}})), AckOnly()) << action;
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
}

TEST_F(SessionActionsTest, ReAddingALiveIdRemovesItFirst) {
    Start();
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    auto* watcher = daemon->app().detector();
    ASSERT_NE(watcher, nullptr);
    size_t watches = watcher->WatchCount(5);
    ASSERT_GT(watches, 0u);

    // A worker busy with the session while it is added again. (Sessions stay
    // paused in these tests, so that no first rescan gives the workers
    // events of their own; the fake workers take events of paused sessions.)
    workers.mode = FakeWorker::kHold;
    ASSERT_EQ(daemon->Request(Msg({{"action", "add_event"},
                                   {"session_id", uint64_t{5}},
                                   {"type", "upload"},
                                   {"path", "/a.txt"},
                                   {"is_dir", uint64_t{0}}})),
              AckOnly());
    ASSERT_TRUE(Eventually([&] { return workers.taken >= 1; }));

    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    EXPECT_GE(workers.aborted.load(), 1) << "the busy worker let go before the working directory was emptied";
    EXPECT_TRUE(daemon->Log().find("remove_one_session '5'.") != std::string::npos);
    EXPECT_EQ(watcher->WatchCount(5), watches) << "the old watch is gone, not kept beside the new one";
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(5), 0u) << "its queued events went with it";
    EXPECT_TRUE(Entry(5).pause) << "the new session starts paused";
}

TEST_F(SessionActionsTest, RemoveOneUnknownAndAll) {
    Start();
    LinkWithConnection();
    SessionDirs a(root, "a"), b(root, "b");
    ASSERT_EQ(daemon->Request(SessionRequest(5, a)), AckOnly());
    ASSERT_EQ(daemon->Request(SessionRequest(6, b)), AckOnly());

    EXPECT_EQ(daemon->Request(Msg({{"action", "remove_session"}, {"session_id", uint64_t{9}}})),
              ErrorReply("Invalid session."));
    EXPECT_EQ(Registry::getInstance().Size(), 2u);

    EXPECT_EQ(daemon->Request(Msg({{"action", "remove_session"}, {"session_id", uint64_t{0}}})), AckOnly());
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(5));
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(6));
    EXPECT_EQ(daemon->app().detector()->WatchCount(5), 0u);
    EXPECT_TRUE(fs::exists(a.config + "/db/event-db.sqlite")) << "folders and databases stay on disk";
    EXPECT_TRUE(daemon->Action("get_status")["session_list"].isNull());
}

TEST_F(SessionActionsTest, PauseByConnectionAndResumeBySession) {
    Start();
    ASSERT_EQ(daemon->Action("link"), AckOnly());
    ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    ASSERT_EQ(daemon->Request(ConnectionRequest(2, server.port())), AckOnly());
    SessionDirs a(root, "a"), b(root, "b"), c(root, "c");
    ASSERT_EQ(daemon->Request(SessionRequest(5, a, 1)), AckOnly());
    ASSERT_EQ(daemon->Request(SessionRequest(6, b, 1)), AckOnly());
    ASSERT_EQ(daemon->Request(SessionRequest(7, c, 2)), AckOnly());
    auto paused = [&] {
        std::string out;
        for (uint64_t id : {5, 6, 7}) out += Entry(id).pause ? "P" : "r";
        return out;
    };
    ASSERT_EQ(paused(), "PPP");
    EXPECT_EQ(daemon->Request(Msg({{"action", "resume"}})), AckOnly());
    EXPECT_EQ(paused(), "PPP") << "neither member selects nothing";
    EXPECT_EQ(daemon->Request(Msg({{"action", "resume"}, {"session_id", uint64_t{0}}})), AckOnly());
    EXPECT_EQ(paused(), "rrr");

    // A recycle time recorded before the pause stays (the race itself, a
    // worker recycling while the action holds its copy, is shown by the
    // recursion switch and the registry test).
    Registry::getInstance().InitRecycleTime(Entry(5), 1234);
    EXPECT_EQ(daemon->Request(Msg({{"action", "pause"}, {"connection_id", uint64_t{1}}})), AckOnly());
    EXPECT_EQ(paused(), "PPr");
    EXPECT_EQ(Entry(5).recycle_time, 1234u);
    EXPECT_EQ(Resume(5), AckOnly());
    EXPECT_EQ(paused(), "rPr");
    EXPECT_EQ(daemon->Request(Msg({{"action", "pause"}, {"connection_id", uint64_t{0}}})), AckOnly());
    EXPECT_EQ(paused(), "PPP") << "connection 0 is every connection";
}

TEST_F(SessionActionsTest, PauseInterruptsTheWorkersOfTheSelectedSessionsOnly) {
    Start();
    LinkWithConnection();
    SessionDirs a(root, "a"), b(root, "b");
    ASSERT_EQ(daemon->Request(SessionRequest(5, a)), AckOnly());
    ASSERT_EQ(daemon->Request(SessionRequest(6, b)), AckOnly());
    workers.mode = FakeWorker::kHold;
    for (uint64_t id : {5, 6})
        ASSERT_EQ(daemon->Request(Msg({{"action", "add_event"},
                                       {"session_id", id},
                                       {"type", "upload"},
                                       {"path", "/f.txt"}})),
                  AckOnly());
    ASSERT_TRUE(Eventually([&] { return workers.taken >= 2; }));
    ASSERT_EQ(daemon->Request(Msg({{"action", "pause"}, {"session_id", uint64_t{5}}})), AckOnly());
    EXPECT_EQ(workers.aborted.load(), 1) << "only the worker on session 5 let go";
    workers.mode = FakeWorker::kComplete;
}

TEST_F(SessionActionsTest, RecursionOffMovesSubFoldersIntoTheRecycleFolder) {
    Start();
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    root.write("s5-folder/top.txt", "top");
    fs::create_directories(dirs.folder + "/a/deep");
    root.write("s5-folder/a/x.txt", "x");
    fs::create_directories(dirs.folder + "/b");
    TempDir outside;
    outside.write("precious.txt", "not the session's");
    fs::create_directory_symlink(outside.path(), dirs.folder + "/link");
    Registry::Entry e = Entry(5);
    DBFileInfo record;
    record.path = "/a/x.txt";
    record.syncID = 3;
    ASSERT_EQ(e.event_db->setEventInfo(record), 0);

    // A worker busy in the session is interrupted before anything moves.
    // (The detector's events of the files above may have been carried out
    // already: only an event taken from now on is held.)
    workers.mode = FakeWorker::kHold;
    int taken = workers.taken;
    ASSERT_EQ(daemon->Request(Msg({{"action", "add_event"},
                                   {"session_id", uint64_t{5}},
                                   {"type", "upload"},
                                   {"path", "/a/x.txt"}})),
              AckOnly());
    ASSERT_TRUE(Eventually([&] { return workers.taken > taken; }));

    ASSERT_EQ(daemon->Request(Msg({{"action", "reload_session"}, {"session_id", uint64_t{5}}, {"recursive", uint64_t{0}}})),
              AckOnly());
    EXPECT_GE(workers.aborted.load(), 1);
    workers.mode = FakeWorker::kComplete;
    EXPECT_FALSE(Entry(5).recursive);
    EXPECT_EQ(Names(dirs.folder), (std::set<std::string>{".CorvexaWorkingDirectory", "link", "top.txt"}));
    EXPECT_EQ(TempDir::read(outside.file("precious.txt")), "not the session's") << "a link is never followed";
    std::string recycle = dirs.folder + "/.CorvexaWorkingDirectory/#CorvRecycle";
    std::set<std::string> recycled = Names(recycle);
    ASSERT_EQ(recycled.size(), 2u);
    int with_x = 0;
    for (const std::string& name : recycled)
        if (TempDir::read(recycle + "/" + name + "/x.txt") == "x") ++with_x;
    EXPECT_EQ(with_x, 1) << "the files of a sub-folder are recoverable";
    std::set<ustring> rows;
    ASSERT_EQ(e.event_db->getRotateList(static_cast<uint32_t>(std::time(nullptr)) + 10, rows), 0);
    EXPECT_EQ(rows.size(), 2u) << "both folders are recorded, for the retention time";
    EXPECT_NE(Entry(5).recycle_time, 0u);
    DBFileInfo gone;
    EXPECT_EQ(e.event_db->getEventInfo("/a/x.txt", gone), 0);
}

TEST_F(SessionActionsTest, AddEventErrors) {
    Start(/*with_workers=*/false);
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    auto event = [](uint64_t session, const char* type, const PObject& path) {
        PObject msg = Msg({{"action", "add_event"}, {"session_id", session}, {"type", type}, {"is_dir", uint64_t{0}}});
        if (!path.isNull()) msg["path"] = path;
        return msg;
    };
    struct Case {
        PObject msg;
        const char* error;
    };
    const Case cases[] = {
        {event(9, "upload", "/a.txt"), "Invalid session."},
        {event(5, "rename", "/a.txt"), "Invalid parameters."},
        {event(5, "upload", PObject()), "Invalid parameters."},
        {event(5, "upload", "a.txt"), "Invalid parameters."},
        {event(5, "upload", "/a/../../etc/passwd"), "Invalid parameters."},
        {event(5, "upload", "/a/"), "Invalid parameters."},
        {event(5, "remove", "/"), "Invalid parameters."},
    };
    for (const Case& c : cases) EXPECT_EQ(daemon->Request(c.msg), ErrorReply(c.error)) << c.msg.toString().c_str();
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(5), 0u);

    EXPECT_EQ(daemon->Request(event(5, "upload", "/a.txt")), AckOnly());
    EXPECT_EQ(daemon->Request(event(5, "remove", "/b.txt")), AckOnly());
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(5), 2u);
}

TEST_F(SessionActionsTest, AReloadWithABrokenFilterFileKeepsTheLiveLists) {
    Start();
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    dirs.WriteBlackList("[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"iso\"\n");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    Registry::Entry e = Entry(5);
    ASSERT_LT(e.black_list->TestFilePath("/disk.iso"), 0);

    dirs.WriteBlackList("[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"iso\n");
    EXPECT_EQ(daemon->Request(Msg({{"action", "reload_session"},
                                   {"session_id", uint64_t{5}},
                                   {"do_reload_filter", uint64_t{1}}})),
              ErrorReply("Failed to load black list."));
    EXPECT_LT(e.black_list->TestFilePath("/disk.iso"), 0) << "the shared list still excludes what it did";

    dirs.WriteBlackList("[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"mkv\"\n");
    EXPECT_EQ(daemon->Request(Msg({{"action", "reload_session"},
                                   {"session_id", uint64_t{5}},
                                   {"do_reload_filter", uint64_t{1}}})),
              AckOnly());
    EXPECT_EQ(e.black_list->TestFilePath("/disk.iso"), 0) << "a good file replaces the list in place";
    EXPECT_LT(e.black_list->TestFilePath("/film.mkv"), 0);
}

TEST_F(SessionActionsTest, ReadOnlyBackToWritableRescansTheSession) {
    Start(/*with_workers=*/false);
    LinkWithConnection();
    SessionDirs dirs(root, "s5");
    PObject add = SessionRequest(5, dirs);
    add["read_only"] = uint64_t{1};
    ASSERT_EQ(daemon->Request(add), AckOnly());
    EXPECT_TRUE(Entry(5).read_only);
    ASSERT_EQ(daemon->Request(Msg({{"action", "reload_session"}, {"session_id", uint64_t{5}}, {"read_only", uint64_t{0}}})),
              AckOnly());
    EXPECT_FALSE(Entry(5).read_only);
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(5), 1u) << "a rescan of / is queued";
    EXPECT_TRUE(daemon->Log().find("to read write") != std::string::npos);
}

}  // namespace
}  // namespace tidewell::testing
