// The detector on real folders and real inotify: each test changes a session
// folder as a user or a program would and reads back what reached the event
// manager.
#include "sync/detector.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "net/error_codes.h"
#include "sync/sync_fixture.h"

namespace {

using namespace tidewell::testing;
namespace fs = std::filesystem;

const std::string kWork = "/.CorvexaWorkingDirectory";

size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

void Write(const std::string& path, const std::string& text = "abc") {
    std::ofstream(path, std::ios::binary) << text;
}

class DetectorTest : public ::testing::Test {
protected:
    DetectorTest() : log("detector_debug = 6\n"), session(dir, 1), outside(dir.file("outside")) {
        fs::create_directories(outside);
        em.SetSyncingNotifier([](const Event&) {});
        em.SetSyncingMarker([](const ustring&, bool) { return 0; });
    }
    ~DetectorTest() override {
        detector.reset();
        em.Clear();
    }

    Detector::Options Defaults() {
        Detector::Options o;
        o.manager = &em;
        o.step_ms = 200;
        o.session_error = [this](uint64_t conn, uint64_t sess, int error) {
            std::lock_guard<std::mutex> guard(errors_mutex);
            errors.emplace_back(conn, sess, error);
        };
        return o;
    }
    void Start(Detector::Options o) {
        detector = std::make_unique<Detector>(std::move(o));
        ASSERT_EQ(detector->AddWatch(session.folder, 1), 0);
        ASSERT_EQ(detector->Run(), 0);
    }
    void Start() { Start(Defaults()); }

    std::string At(const std::string& path) const { return session.folder + path; }

    // Takes what the manager holds now into `seen`.
    void Collect() {
        for (Event& e : DrainAll(em, task)) seen.push_back(std::move(e));
    }
    bool WaitSeen(const std::function<bool()>& done) {
        return WaitFor([&] {
            Collect();
            return done();
        });
    }
    bool Has(Event::Type type, const std::string& path, bool expand = false) const {
        for (const Event& e : seen)
            if (e.m_type == type && e.m_path == path.c_str() && e.isExpand() == expand) return true;
        return false;
    }
    bool HasRescan(bool merge) const {
        for (const Event& e : seen)
            if (e.isRescan() && e.m_path == "/" && e.isMerge() == merge) return true;
        return false;
    }
    // The events of one path (expansions left out), oldest first.
    std::vector<Event> Of(const std::string& path) const {
        std::vector<Event> out;
        for (const Event& e : seen)
            if (e.m_path == path.c_str() && !e.isExpand()) out.push_back(e);
        return out;
    }
    // Everything the detector saw before now has reached the manager: one
    // session's notifications are handled in order, so a new file's creation
    // arriving means all earlier ones were handled.
    void Barrier() {
        const std::string name = "/sentinel-" + std::to_string(++barriers);
        Write(At(name));
        ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, name) || Has(Event::EV_MODIFY, name); })) << name;
    }
    void OverflowOnce(bool force_injection);
    size_t ErrorCount() {
        std::lock_guard<std::mutex> guard(errors_mutex);
        return errors.size();
    }

    // First in, last out: the task's thread logs until it is stopped.
    LogCapture log;
    TempDir dir;
    TestSession session;
    const std::string outside;
    EventManager em;
    RecordingTask task;
    std::unique_ptr<Detector> detector;
    std::vector<Event> seen;
    int barriers = 0;
    std::mutex errors_mutex;
    std::vector<std::tuple<uint64_t, uint64_t, int>> errors;
};

TEST_F(DetectorTest, RenameIsARemovalThenACreation) {
    Write(At("/a.txt"));
    Start();
    ASSERT_EQ(rename(At("/a.txt").c_str(), At("/b.txt").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, "/b.txt"); }));
    Barrier();
    std::vector<std::string> touched;
    for (const Event& e : seen) {
        if (e.m_path == "/a.txt" || e.m_path == "/b.txt")
            touched.push_back(std::to_string(e.m_type) + (e.isDir() ? "d" : "f") + e.m_path.str());
    }
    EXPECT_EQ(touched, (std::vector<std::string>{"2f/a.txt", "1f/b.txt"}));
}

TEST_F(DetectorTest, FilesMovedInAndOut) {
    Write(At("/synced.txt"));
    Write(At("/unknown.txt"));
    session.Record("/synced.txt", false);
    Write(outside + "/in.txt");
    Start();

    // In from outside: a moved-to without its moved-from.
    ASSERT_EQ(rename((outside + "/in.txt").c_str(), At("/in.txt").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, "/in.txt"); }));
    // Out: a moved-from that no moved-to follows; a removal when the item
    // was synchronised, nothing when it never was.
    ASSERT_EQ(rename(At("/synced.txt").c_str(), (outside + "/synced.txt").c_str()), 0);
    ASSERT_EQ(rename(At("/unknown.txt").c_str(), (outside + "/unknown.txt").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_REMOVE, "/synced.txt"); }));
    ASSERT_TRUE(WaitFor([&] { return log.count("can't find file type of deleted item /unknown.txt") == 1; }));
    Barrier();
    EXPECT_TRUE(Of("/unknown.txt").empty());
    ASSERT_EQ(Of("/synced.txt").size(), 1u);
    EXPECT_TRUE(Of("/synced.txt")[0].isFile());
}

TEST_F(DetectorTest, DirectoryMovedInRenamedMovedOutThenEdited) {
    fs::create_directories(outside + "/d/deep");
    Write(outside + "/d/inner.txt");
    Start();
    const size_t idle_watches = detector->WatchCount(1);  // the folder and the working directory

    ASSERT_EQ(rename((outside + "/d").c_str(), At("/d").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, "/d") && Has(Event::EV_CREATE, "/d", true); }));
    EXPECT_TRUE(Of("/d")[0].isDir());
    EXPECT_EQ(detector->WatchCount(1), idle_watches + 2);  // /d and /d/deep

    ASSERT_EQ(rename(At("/d").c_str(), At("/e").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, "/e", true); }));
    EXPECT_TRUE(Has(Event::EV_REMOVE, "/d"));
    EXPECT_TRUE(Has(Event::EV_CREATE, "/e"));
    // The watches kept their directories under the new name.
    Write(At("/e/deep/new.txt"));
    ASSERT_TRUE(WaitSeen([&] { return !Of("/e/deep/new.txt").empty(); }));

    session.Record("/e", true);
    ASSERT_EQ(rename(At("/e").c_str(), (outside + "/e2").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_REMOVE, "/e"); }));
    EXPECT_TRUE(Of("/e").back().isDir());
    EXPECT_EQ(detector->WatchCount(1), idle_watches);
    // What happens to it out there is no business of the session's.
    Write(outside + "/e2/late.txt");
    Write(outside + "/e2/deep/later.txt");
    fs::create_directories(outside + "/e2/sub");
    Barrier();
    for (const Event& e : seen) {
        EXPECT_EQ(e.m_path.find("late"), ustring::npos) << e.m_path;
        EXPECT_EQ(e.m_path.find("sub"), ustring::npos) << e.m_path;
    }
}

TEST_F(DetectorTest, EditorStyleSaveEndsAsAChangeOfTheTarget) {
    Write(At("/doc.txt"), "old");
    session.Record("/doc.txt", false);
    Start();
    Write(At("/.doc.txt.swp"), "new contents");
    ASSERT_EQ(rename(At("/.doc.txt.swp").c_str(), At("/doc.txt").c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return !Of("/doc.txt").empty(); }));
    Barrier();
    const std::vector<Event> target = Of("/doc.txt");
    EXPECT_NE(target.back().m_type, Event::EV_REMOVE);
    const std::vector<Event> temp = Of("/.doc.txt.swp");
    if (!temp.empty()) {
        EXPECT_EQ(temp.back().m_type, Event::EV_REMOVE);
    }
}

TEST_F(DetectorTest, TouchAndChmodAreModificationsOfFilesOnly) {
    Write(At("/t.txt"));
    fs::create_directories(At("/dd"));
    Start();
    ASSERT_EQ(utimensat(AT_FDCWD, At("/t.txt").c_str(), nullptr, 0), 0);  // touch
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_MODIFY, "/t.txt"); }));
    seen.clear();
    ASSERT_EQ(chmod(At("/t.txt").c_str(), 0755), 0);  // chmod +x
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_MODIFY, "/t.txt"); }));
    ASSERT_EQ(chmod(At("/dd").c_str(), 0700), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, At("/dd").c_str(), nullptr, 0), 0);
    Barrier();
    EXPECT_TRUE(Of("/dd").empty());
    // Written and closed: one modification however many writes it took.
    seen.clear();
    {
        std::ofstream out(At("/t.txt"), std::ios::binary);
        for (int i = 0; i < 1000; ++i) out << std::string(4096, 'x') << std::flush;
    }
    Barrier();
    EXPECT_EQ(Of("/t.txt").size(), 1u);
}

TEST_F(DetectorTest, WorkingDirectoryIsIgnoredAndRepaired) {
    Start();
    ASSERT_TRUE(fs::is_directory(At(kWork + "/#CorvRecycle")));
    Write(At(kWork + "/tmp.part"));
    Write(At(kWork + "/#CorvRecycle/old.txt"));
    fs::create_directories(At(kWork + "/#CorvRecycle/dir"));
    Barrier();

    fs::remove_all(At(kWork + "/#CorvRecycle"));
    ASSERT_TRUE(WaitFor([&] { return fs::is_directory(At(kWork + "/#CorvRecycle")); }));
    fs::remove_all(At(kWork));
    ASSERT_TRUE(WaitFor([&] { return fs::is_directory(At(kWork + "/#CorvRecycle")); }));
    ASSERT_EQ(rename(At(kWork).c_str(), (outside + "/away").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return fs::is_directory(At(kWork + "/#CorvRecycle")); }));
    // Still ignored after each repair.
    Write(At(kWork + "/#CorvRecycle/again.txt"));
    Barrier();
    for (const Event& e : seen) EXPECT_EQ(e.m_path.find("Corv"), ustring::npos) << e.m_path;
}

// Lowers the queue length of inotify instances created while it lives, where
// the system lets a test do so.
class SmallQueue {
public:
    explicit SmallQueue(bool wanted) {
        if (!wanted) return;
        std::ifstream in(kPath);
        if (!(in >> saved_)) return;
        std::ofstream out(kPath);
        out << 64 << std::endl;
        lowered_ = static_cast<bool>(out);
    }
    ~SmallQueue() { Restore(); }
    void Restore() {
        if (!lowered_) return;
        std::ofstream(kPath) << saved_ << std::endl;
        lowered_ = false;
    }
    bool lowered() const { return lowered_; }

private:
    static constexpr const char* kPath = "/proc/sys/fs/inotify/max_queued_events";
    long saved_ = 0;
    bool lowered_ = false;
};

// A burst that the queue cannot hold, while the task reads nothing: the
// lost notices become one rescan of the whole session.
void DetectorTest::OverflowOnce(bool force_injection) {
    bool injected = force_injection;
    {
        SmallQueue small(!force_injection);
        Start();
        injected = injected || !small.lowered();
    }
    if (injected && !force_injection) {
        std::cout << "[ NOTE     ] queue length not settable here; the overflow is injected\n";
    }
    detector->Pause();
    for (int i = 0; i < 500; ++i) Write(At("/burst-" + std::to_string(i)));
    if (injected) detector->InjectOverflow(1);
    detector->Resume();
    ASSERT_TRUE(WaitFor([&] { return log.count("Event queue overflow, rescan watch") >= 1; }));
    // The rescan is asked for once the watches are back; what happened in
    // between is what it covers.
    ASSERT_TRUE(WaitSeen([&] { return HasRescan(false); }));
    Barrier();
    int rescans = 0;
    for (const Event& e : seen) rescans += e.isRescan() ? 1 : 0;
    EXPECT_EQ(rescans, 1);
    EXPECT_EQ(log.count("Event queue overflow, rescan watch"), 1u);
    // Watching goes on with the rebuilt watches.
    Write(At("/after.txt"));
    EXPECT_TRUE(WaitSeen([&] { return !Of("/after.txt").empty(); }));
}

TEST_F(DetectorTest, OverflowGivesOneRescanOfTheRoot) {
    OverflowOnce(false);
}

TEST_F(DetectorTest, InjectedOverflowGivesOneRescanOfTheRoot) {
    OverflowOnce(true);
}

TEST_F(DetectorTest, SessionFolderMovedAwayAndBack) {
    Write(At("/keep.txt"));
    session.Record("/keep.txt", false);
    fs::create_directories(At("/sub"));
    session.Record("/sub", true);
    Start();
    const std::string away = session.folder + ".away";
    ASSERT_EQ(rename(session.folder.c_str(), away.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return ErrorCount() == 1; }));
    EXPECT_EQ(errors[0], std::make_tuple(uint64_t{7}, uint64_t{1}, static_cast<int>(ERR_SYNCFOLDER_MISS)));
    EXPECT_EQ(detector->WatchCount(1), 0u);
    // Edits to the moved folder are not the session's.
    Write(away + "/elsewhere.txt");
    fs::remove(away + "/keep.txt");

    ASSERT_EQ(rename(away.c_str(), session.folder.c_str()), 0);
    ASSERT_TRUE(WaitSeen([&] { return HasRescan(true); }));
    Barrier();
    EXPECT_EQ(ErrorCount(), 1u);
    int rescans = 0;
    for (const Event& e : seen) {
        EXPECT_NE(e.m_type, Event::EV_REMOVE) << e.m_path;
        EXPECT_EQ(e.m_path.find("elsewhere"), ustring::npos);
        rescans += e.isRescan() ? 1 : 0;
    }
    EXPECT_EQ(rescans, 1);
    EXPECT_GT(detector->WatchCount(1), 0u);
}

TEST_F(DetectorTest, SessionFolderRemovedPushesNoRemovals) {
    for (int i = 0; i < 20; ++i) {
        Write(At("/f" + std::to_string(i)));
        session.Record("/f" + std::to_string(i), false);
    }
    Start();
    fs::remove_all(session.folder);
    ASSERT_TRUE(WaitFor([&] { return ErrorCount() == 1; }));
    Collect();
    for (const Event& e : seen) EXPECT_NE(e.m_type, Event::EV_REMOVE) << e.m_path;
    EXPECT_TRUE(seen.empty());
}

TEST_F(DetectorTest, AddWatchAgainClosesTheOldWatch) {
    Start();
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(detector->AddWatch(session.folder, 1), 0);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() <= before; })) << OpenDescriptors() << " > " << before;
    Write(At("/still.txt"));
    EXPECT_TRUE(WaitSeen([&] { return !Of("/still.txt").empty(); }));

    detector->RemoveWatch(1);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() < before; }));
    EXPECT_EQ(detector->WatchCount(1), 0u);
}

TEST_F(DetectorTest, NewDirectoryIsWatchedBeforeItIsExpanded) {
    Start();
    fs::create_directories(At("/nd"));
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, "/nd") && Has(Event::EV_CREATE, "/nd", true); }));
    // Created and filled at once: the walk of /nd/a covers what its watch
    // came too late for, and every new level ends up watched.
    fs::create_directories(At("/nd/a/b/c"));
    Write(At("/nd/a/b/c/f.txt"));
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_CREATE, "/nd/a", true); }));
    ASSERT_TRUE(WaitFor([&] { return detector->WatchCount(1) == 6; })) << detector->WatchCount(1);
    Write(At("/nd/a/b/c/g.txt"));
    ASSERT_TRUE(WaitSeen([&] { return !Of("/nd/a/b/c/g.txt").empty(); }));
}

TEST_F(DetectorTest, RemovalTakesItsKindFromTheDatabase) {
    fs::create_directories(At("/rd/x"));
    Write(At("/rd/x/f.txt"));
    Write(At("/gone.txt"));
    session.Record("/rd", true);
    session.Record("/gone.txt", false);
    Start();
    fs::remove_all(At("/rd"));
    fs::remove(At("/gone.txt"));
    ASSERT_TRUE(WaitSeen([&] { return Has(Event::EV_REMOVE, "/rd") && Has(Event::EV_REMOVE, "/gone.txt"); }));
    EXPECT_TRUE(Of("/rd").back().isDir());
    EXPECT_TRUE(Of("/gone.txt").back().isFile());
    Barrier();
    EXPECT_TRUE(Of("/rd/x").empty()) << "never synchronised: no kind, no event";
}

TEST_F(DetectorTest, WatchLimitKeepsThePartialSetAndRescans) {
    for (const char* d : {"/l1/l2/l3", "/m1", "/m2", "/m3"}) fs::create_directories(At(d));
    Detector::Options o = Defaults();
    o.max_watches = 3;
    o.limited_rescan_seconds = 1;
    Start(o);
    EXPECT_EQ(detector->WatchCount(1), 3u);
    ASSERT_TRUE(WaitSeen([&] { return HasRescan(false); }));
    seen.clear();
    ASSERT_TRUE(WaitSeen([&] { return HasRescan(false); })) << "rescans go on";
    EXPECT_EQ(log.count("fs.inotify.max_user_watches"), 1u);

    // Without room for the folder itself nothing is watched, and nothing leaks.
    const size_t before = OpenDescriptors();
    Detector::Options none = Defaults();
    none.max_watches = 0;
    Detector refused(none);
    EXPECT_EQ(refused.AddWatch(session.folder, 2), -1);
    EXPECT_EQ(refused.WatchCount(2), 0u);
    EXPECT_EQ(OpenDescriptors(), before + 1);  // the detector's own wake-up descriptor
    EXPECT_EQ(refused.AddWatch(dir.file("no-such-folder"), 3), -1);
}

}  // namespace
