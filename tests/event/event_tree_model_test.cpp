// Random pushes, pops, dones and redos against a small model of what the
// event tree promises: the counters match the nodes holding events, the
// reference counts match what is out, a directory's event is never out
// together with an event inside it, and every pushed event is either handed
// out or dropped by a removal.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/logger.h"
#include "event/event_list2.h"
#include "support/temp_dir.h"

namespace {

struct PathDef {
    const char* path;
    bool dir;
};

constexpr PathDef kPaths[] = {
    {"/", true},       {"/a", true},      {"/a/b", true},  {"/c", true},  {"/a/x", false},
    {"/a/b/y", false}, {"/a/b/w", false}, {"/c/z", false}, {"/f", false}, {"/a/b/d", true},
};

bool Inside(const std::string& inner, const std::string& outer) {
    if (outer == "/") return inner != "/";
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
}

class Model {
public:
    explicit Model(unsigned seed)
        : rng(seed), tree([this](const ustring& p) {
              const std::string path = p.str();
              covered[path] = pushed[path];
              return 0;
          }) {}

    void Run(int steps) {
        for (int i = 0; i < steps && !::testing::Test::HasFailure(); ++i) {
            const int op = Pick(10);
            if (op < 4) {
                Push();
            } else if (op < 7) {
                PopOne();
            } else if (op < 9) {
                Done();
            } else {
                RedoOne();
            }
            Check();
        }
        Drain();
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

    EventList2::NodeInfo Node(const std::string& path) {
        for (auto& n : tree.Snapshot()) {
            if (n.path == path.c_str()) return n;
        }
        return {};
    }

    void Push() {
        const PathDef& d = kPaths[Pick(sizeof kPaths / sizeof kPaths[0])];
        Event e;
        static const Event::Type kTypes[] = {Event::EV_CREATE, Event::EV_MODIFY, Event::EV_REMOVE};
        e.m_type = kTypes[Pick(3)];
        e.m_path = d.path;
        if (d.dir) e.setDir();
        if (Pick(2)) {
            e.setServerEvent();
            e.m_sync_id = Pick(20) == 0 ? Event::kMadeUpSyncId : static_cast<uint64_t>(Pick(20) + 1);
        }
        ++pushed[d.path];
        ASSERT_EQ(tree.Push(e), 0);
    }

    void HandedOut(const Event& e) {
        const std::string path = e.m_path.str();
        out[path] = e;
        covered[path] = pushed[path];
    }

    void PopOne() {
        const int root_status = Node("/").status;
        Event e;
        if (tree.Pop(e) != 0) return;
        const std::string path = e.m_path.str();
        ASSERT_TRUE(root_status == EventList2::WAITING || root_status == EventList2::DONE)
            << "handed out " << path << " while the root's event is out";
        ASSERT_EQ(out.count(path), 0u) << path << " handed out twice";
        ASSERT_NE(e.m_type, Event::EV_EMPTY);
        HandedOut(e);
    }

    std::map<std::string, Event>::iterator AnyOut() {
        auto it = out.begin();
        std::advance(it, Pick(static_cast<int>(out.size())));
        return it;
    }

    void FinishOne(std::map<std::string, Event>::iterator it) {
        const std::string path = it->first;
        const int status = Node(path).status;
        if (tree.DoneEvent(it->second) == 0) {
            ASSERT_EQ(status, EventList2::PROCESSING) << path;
            out.erase(it);
            return;
        }
        ASSERT_EQ(status, EventList2::RETRY) << path;
        Event merged;
        ASSERT_EQ(tree.Pop(ustring(path), merged), 0) << path;
        HandedOut(merged);
    }

    void Done() {
        if (!out.empty()) FinishOne(AnyOut());
    }

    void RedoOne() {
        if (out.empty()) return;
        auto it = AnyOut();
        const int status = Node(it->first).status;
        const int r = tree.Redo(it->second);
        if (it->first == "/" && status == EventList2::RETRY) {
            ASSERT_EQ(r, -1);
            return;
        }
        ASSERT_EQ(r, 0) << it->first;
        out.erase(it);
    }

    void Check() {
        std::string problem;
        ASSERT_TRUE(tree.CheckInvariants(&problem)) << problem;
        const auto nodes = tree.Snapshot();
        int server = 0, local = 0;
        std::map<std::string, const EventList2::NodeInfo*> by_path;
        for (const auto& n : nodes) {
            by_path[n.path.str()] = &n;
            if (n.status == EventList2::DONE) {
                ASSERT_EQ(n.event.m_type, Event::EV_EMPTY) << n.path;
                continue;
            }
            ASSERT_NE(n.event.m_type, Event::EV_EMPTY) << n.path;
            (n.event.isServerEvent() ? server : local)++;
        }
        ASSERT_EQ(tree.GetServerEventCount(), server);
        ASSERT_EQ(tree.GetLocalEventCount(), local);

        for (const auto& n : nodes) {
            const std::string path = n.path.str();
            const bool is_out = n.status == EventList2::PROCESSING || n.status == EventList2::RETRY;
            ASSERT_EQ(is_out, out.count(path) == 1) << path << " status " << n.status;
            if (!n.is_dir) continue;
            if (n.status == EventList2::DONE && path != "/") {
                bool has_child = false;
                for (const auto& m : nodes) has_child = has_child || Inside(m.path.str(), path);
                ASSERT_TRUE(has_child) << "empty structural " << path;
            }
            int ref_server = 0, ref_local = 0;
            for (const auto& [p, e] : out) {
                if (Inside(p, path) || (path == "/" && p == "/")) (e.isServerEvent() ? ref_server : ref_local)++;
            }
            ASSERT_EQ(n.refServerCount, ref_server) << path;
            ASSERT_EQ(n.refLocalCount, ref_local) << path;
        }

        for (const auto& [outer, oe] : out) {
            if (outer == "/" || !oe.isDir()) continue;
            for (const auto& [inner, ie] : out) {
                ASSERT_FALSE(Inside(inner, outer)) << outer << " is out together with " << inner;
            }
        }
    }

    void Drain() {
        for (int guard = 0; guard < 10000 && !::testing::Test::HasFailure(); ++guard) {
            if (!out.empty()) {
                FinishOne(out.begin());
                Check();
                continue;
            }
            Event e;
            if (tree.Pop(e) != 0) break;
            HandedOut(e);
            Check();
        }
        if (::testing::Test::HasFailure()) return;
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(tree.IsEmpty());
        EXPECT_EQ(tree.Snapshot().size(), 1u);
        for (const auto& [path, n] : pushed)
            EXPECT_EQ(covered[path], n) << path << " was neither handed out nor dropped";
    }

    std::mt19937 rng;
    std::map<std::string, int> pushed;
    std::map<std::string, int> covered;
    std::map<std::string, Event> out;
    EventList2 tree;
};

TEST(EventTreeModelTest, RandomOperationsKeepTheInvariants) {
    // The refused dones of retried events log warnings; keep them off the console.
    tidewell::testing::TempDir dir;
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir.file("log").c_str(), "", 50), 0);
    for (unsigned seed = 1; seed <= 200 && !::testing::Test::HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Model(seed).Run(300);
    }
    Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50);
}

}  // namespace
