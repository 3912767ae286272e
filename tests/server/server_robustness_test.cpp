// Bad input, injected faults, keep-alives, an orderly stop, and a kill -9
// in the middle of uploads.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "server_fixture.h"
#include "stream/pstream.h"

namespace tidewell::server_test {
namespace {

using Clock = std::chrono::steady_clock;

std::string Header(uint8_t version, uint8_t command, uint16_t length = 0) {
    return std::string("\x25\x52\x18\x14", 4) + static_cast<char>(version) + static_cast<char>(command) +
           static_cast<char>(length >> 8) + static_cast<char>(length);
}
std::string Str(const std::string& s) {
    return std::string(1, '\x10') + static_cast<char>(s.size() >> 8) + static_cast<char>(s.size()) + s;
}
std::string Int(uint64_t v) {
    std::string out("\x01\x08", 2);
    for (int i = 7; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
    return out;
}
const std::string kMap("\x42", 1);
const std::string kEnd("\x40", 1);

// A pull_event body of our own making, `path` as raw bytes.
std::string PullBody(const std::string& path) {
    return kMap + Str("action") + Str("pull_event") + Str("path") + Str(path) + Str("recursive") + Int(1) +
           Str("session") + Str(kToken) + Str("sync_id") + Int(0) + Str("view_id") + Int(1) + kEnd;
}

// What came back on a raw connection: the answer when one arrived, and
// whether the server then closed the connection.
struct Reply {
    bool answered = false;
    PObject answer;
    bool closed = false;
};

class Robustness : public ServerTest {
protected:
    // Sends `bytes` on `ch` (a fresh connection when null: admitted first
    // when `admit`), reads one answer and then whether the server closes.
    Reply Raw(const std::string& bytes, bool admit, bool wait_for_close = true) {
        SyncClient c(server_->port());
        if (admit) {
            EXPECT_EQ(c.Connect(kToken, 1), 0);
        } else {
            EXPECT_EQ(c.Open(), 0);
        }
        SendRaw(c, bytes);
        Channel& ch = c.channel();
        ch.SetTimeout(10);
        Reply reply;
        PStream stream;
        reply.answered = stream.Recv(ch, reply.answer) == 0;
        if (wait_for_close) {
            uint8_t byte = 0;
            reply.closed = ch.ReadByte(&byte) != 0;
        }
        return reply;
    }

    void ExpectStillServing() {
        auto c = Client();
        PObject answer = Pull(*c, 0);
        EXPECT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    }

    // Waits until the log holds `text` at least `times` times.
    bool WaitForLog(const std::string& text, int times = 1, int seconds = 30) {
        auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            std::string log = server_->log();
            int found = 0;
            for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
            if (found >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

TEST_F(Robustness, BadFramingAndBodies) {
    std::string too_much;
    for (int i = 0; i < 20; ++i) too_much += Str("k" + std::to_string(i)) + Str(std::string(60000, 'x'));
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += Str("k") + kMap;
    struct Case {
        const char* name;
        std::string bytes;
        bool admit;
        bool answered;
        uint64_t code;
    };
    const std::vector<Case> cases = {
        {"not the protocol", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, false, 0},
        {"older version", Header(69, SCMD_EVT_PULL) + PullBody("/"), true, true, 20481},
        {"newer version", Header(71, SCMD_EVT_PULL) + PullBody("/"), true, true, 20482},
        {"payload length set", Header(70, SCMD_EVT_PULL, 12) + PullBody("/"), true, true, 20480},
        {"body not a map", Header(70, SCMD_EVT_PULL) + Int(1), true, true, 20480},
        {"repeated key", Header(70, SCMD_EVT_PULL) + kMap + Str("a") + Int(1) + Str("a") + Int(1) + kEnd, true, true,
         20480},
        {"unknown tag", Header(70, SCMD_EVT_PULL) + kMap + Str("a") + "\x77" + kEnd, true, true, 20480},
        {"too much text", Header(70, SCMD_EVT_PULL) + kMap + too_much + kEnd, true, true, 20480},
        {"too deep", Header(70, SCMD_EVT_PULL) + kMap + deep, true, true, 20480},
    };
    for (const Case& c : cases) {
        Reply reply = Raw(c.bytes, c.admit);
        EXPECT_EQ(reply.answered, c.answered) << c.name;
        if (c.answered) {
            EXPECT_EQ(Code(reply.answer), c.code) << c.name << ": " << reply.answer.toString().c_str();
        }
        EXPECT_TRUE(reply.closed) << c.name;
        ExpectStillServing();
    }
}

TEST_F(Robustness, AnswerableNonsenseKeepsTheConnection) {
    // A NUL byte inside a path: refused as a path, and the connection goes on.
    auto c = Client();
    Channel& ch = c->channel();
    std::string bytes = Header(70, SCMD_EVT_PULL) + PullBody(std::string("/a\0/../../etc", 13));
    ASSERT_EQ(ch.Write(bytes.data(), bytes.size()), 0);
    ASSERT_EQ(ch.FlushWrite(0), 0);
    PObject answer;
    PStream stream;
    ASSERT_EQ(stream.Recv(ch, answer), 0);
    EXPECT_EQ(Code(answer), 12291u);
    EXPECT_FALSE(Pull(*c, 0).hasMember("error"));
    // A binary where no binary belongs.
    bytes = Header(70, SCMD_EVT_PULL) + kMap + Str("action") + Str("pull_event") + Str("junk") +
            std::string("\x30\0\0\0\0\0\0\0\x03xyz", 12) + kEnd;
    ASSERT_EQ(ch.Write(bytes.data(), bytes.size()), 0);
    ASSERT_EQ(ch.FlushWrite(0), 0);
    answer.clear();
    ASSERT_EQ(stream.Recv(ch, answer), 0);
    EXPECT_EQ(Code(answer), 20480u);
    EXPECT_FALSE(Pull(*c, 0).hasMember("error"));
}

TEST_F(Robustness, AClientLeavingMidBodyLeavesNothingBehind) {
    const std::string bytes = Content(400000, 5);
    int round = 0;
    for (uint64_t cut : {9u, 100u, 200000u}) {
        auto c = Client();
        PObject m = Members();
        m["path"] = "/partial";
        m["is_dir"] = false;
        m["sync_id"] = uint64_t{0};
        m["file"]["size"] = uint64_t{bytes.size()};
        m["file"]["hash"] = ustring(Md4Hex(bytes));
        m["file"]["refer"] = false;
        m["file"]["data"] = PObject::binary_type{0, bytes.size(), ustring(File(bytes))};
        std::string encoded = Encode(SCMD_EVT_RECV_4, "upload", m);
        ASSERT_GT(encoded.size(), cut);
        SendRaw(*c, encoded.substr(0, cut));
        c->Close();
        ASSERT_TRUE(WaitForLog("connection lost in a", ++round)) << cut;
        ExpectStillServing();
    }
    EXPECT_TRUE(Ls().empty());
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/incoming"));
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/views/1/content"));
}

class KeepAlives : public Robustness {
protected:
    std::vector<std::string> ServerArgs() override { return {"--no-fsync", "--keepalive-seconds", "1"}; }
};

TEST_F(KeepAlives, ALateAnswerIsPrecededByNotices) {
    Faults("delay action=pull_event seconds=4 once\n");
    auto c = Client();
    c->SetTimeout(2);  // shorter than the delay: only the notices keep the request alive
    auto start = Clock::now();
    PObject answer = Pull(*c, 0);
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(4));
    EXPECT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_TRUE(answer.hasMember("next_sync_id"));
    EXPECT_FALSE(answer.hasMember("type"));  // nothing of the notices in the answer
}

TEST_F(KeepAlives, StallsNeverAnswer) {
    Faults("stall action=pull_event silent once\nstall action=pull_event seconds=6 once\n");
    PObject m = Members();
    m["sync_id"] = uint64_t{0};
    m["path"] = "/";
    m["recursive"] = true;
    PObject answer;

    // Silence: the client's answer limit ends the request.
    auto c = Client();
    c->SetTimeout(2);
    auto start = Clock::now();
    EXPECT_NE(c->Run(SCMD_EVT_PULL, "pull_event", m, answer), 0);
    auto silent = Clock::now() - start;
    EXPECT_GE(silent, std::chrono::seconds(2));
    EXPECT_LT(silent, std::chrono::seconds(6));

    // Notices keep the client waiting past its limit, until the server
    // hangs up.
    auto k = Client();
    k->SetTimeout(2);
    start = Clock::now();
    EXPECT_NE(k->Run(SCMD_EVT_PULL, "pull_event", m, answer), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(6));
    ExpectStillServing();
}

TEST_F(Robustness, InjectedErrorsAndRefusals) {
    Faults("error action=upload path=/x code=16385 once\nrefuse-connect once\n");
    SyncClient refused(server_->port());
    PObject answer;
    EXPECT_EQ(refused.Connect(kToken, 1, false, SyncClient::Handshake::TwoStep, &answer), ERR_IO);
    EXPECT_EQ(answer["alive"].asInteger(), 0u);
    auto c = Client();
    EXPECT_EQ(Code(UploadFile(*c, "/x", "1")), 16385u);
    EXPECT_FALSE(UploadFile(*c, "/y", "1").hasMember("error"));
    EXPECT_FALSE(UploadFile(*c, "/x", "1").hasMember("error"));
    EXPECT_EQ(Ls().size(), 2u);
}

TEST_F(Robustness, StopsInOrder) {
    Faults("delay action=pull_event seconds=60 once\n");
    auto idle = Client();
    auto busy = Client();
    std::atomic<bool> answered{false};
    std::thread request([&] {
        PObject answer = Pull(*busy, 0);
        answered = answer.hasMember("next_sync_id");
    });
    ASSERT_TRUE(WaitForLog("fault rule fires: delay"));
    auto start = Clock::now();
    EXPECT_EQ(server_->Stop(), 0);
    request.join();
    EXPECT_TRUE(answered.load());  // the request in flight was answered before the stop
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_NE(server_->log().find("stopped"), std::string::npos);
    // The idle connection was closed.
    uint8_t byte = 0;
    idle->channel().SetTimeout(5);
    EXPECT_NE(idle->channel().ReadByte(&byte), 0);
}

class Crash : public Robustness {
protected:
    // Flushes on: the crash test runs the durable form.
    std::vector<std::string> ServerArgs() override { return {}; }
};

TEST_F(Crash, KillDuringUploadsLeavesOnlyCompleteFiles) {
    std::mutex lock;
    std::map<std::string, std::set<std::string>> offered;  // path -> hashes that may be committed
    for (int crash = 0; crash < 3; ++crash) {
        if (crash > 0) StartServer();
        std::atomic<int> committed{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> uploaders;
        for (int t = 0; t < 3; ++t) {
            uploaders.emplace_back([&, t] {
                SyncClient c(server_->port());
                if (c.Connect(kToken, 1) != 0) return;
                for (int i = 0; !stop; ++i) {
                    std::string path = "/t" + std::to_string(t) + "/f" + std::to_string(i % 5);
                    bool large = i % 2 == 1;
                    uint32_t seed = static_cast<uint32_t>(crash * 100000 + t * 1000 + i);
                    std::string bytes = Content(large ? 1500000 : 20000 + i, seed);
                    {
                        std::lock_guard<std::mutex> guard(lock);
                        offered[path].insert(Md4Hex(bytes));
                    }
                    // A new version on top of whatever is there.
                    PObject pulled;
                    PObject answer;
                    if (large) {
                        PObject tm = Members();
                        PObject token;
                        if (c.Run(SCMD_RESUME_TRANSFER, "resume_get_token", tm, token) != 0) return;
                        PObject m = ResumeMembers(path, bytes, File(bytes), bytes.size(),
                                                  token["resume_token"].asString().str());
                        if (c.Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer) != 0) return;
                    } else if (c.Run(SCMD_EVT_RECV_4, "upload", UploadMembers(path, bytes), answer) != 0) {
                        return;
                    }
                    if (Code(answer) == 24576) {
                        // Something is there: replace it from a fresh pull of its id.
                        PObject m = Members();
                        m["sync_id"] = uint64_t{0};
                        m["path"] = ustring(path.substr(0, 3));
                        m["recursive"] = true;
                        if (c.Run(SCMD_EVT_PULL, "pull_event", m, pulled) != 0) return;
                        for (const PObject& r : pulled["event_list"].asArray()) {
                            if (path.substr(3) == r["path"].asString().str()) {
                                std::string wr = Content(20000 + i, seed + 50000);
                                {
                                    std::lock_guard<std::mutex> guard(lock);
                                    offered[path].insert(Md4Hex(wr));
                                }
                                answer.clear();
                                if (c.Run(SCMD_EVT_RECV_4, "upload", UploadMembers(path, wr, r["sync_id"].asInteger()),
                                          answer) != 0) {
                                    return;
                                }
                            }
                        }
                    }
                    if (!answer.hasMember("error") && answer.hasMember("sync_id")) ++committed;
                }
            });
        }
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (committed < 12 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server_->Kill();
        stop = true;
        for (auto& t : uploaders) t.join();
        ASSERT_GE(committed.load(), 12);
    }

    StartServer();
    auto ls = Ls();
    ASSERT_FALSE(ls.empty());
    auto c = Client();
    for (auto& [path, line] : ls) {
        if (line.kind != "file") continue;
        SCOPED_TRACE(path);
        EXPECT_EQ(offered[path].count(line.hash), 1u);
        std::string into = dir_.file("check" + std::to_string(++files_));
        PObject answer;
        ASSERT_EQ(Download(*c, path, 0, Token(*c), 0, into, answer), 0);
        std::string got = testing::TempDir::read(into);
        EXPECT_EQ(got.size(), line.size);
        EXPECT_EQ(Md4Hex(got), line.hash);
    }

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((root_ + "/views/1/index.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    sqlite3_finalize(s);
    // Every blob file on disk is named by the index, and every blob the
    // index keeps as a file is there.
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT file_id, data IS NULL FROM contents", -1, &s, nullptr), SQLITE_OK);
    std::set<std::string> named, files;
    while (sqlite3_step(s) == SQLITE_ROW) {
        std::string id = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        named.insert(id);
        if (sqlite3_column_int(s, 1)) files.insert(id);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    std::set<std::string> on_disk;
    for (auto& e : std::filesystem::directory_iterator(root_ + "/views/1/content")) {
        on_disk.insert(e.path().filename().string());
    }
    for (const std::string& id : on_disk) EXPECT_EQ(named.count(id), 1u) << "orphan blob " << id;
    for (const std::string& id : files) EXPECT_EQ(on_disk.count(id), 1u) << "missing blob " << id;
    EXPECT_FALSE(files.empty());
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/incoming"));
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/views/1/tmp"));
}

}  // namespace
}  // namespace tidewell::server_test
