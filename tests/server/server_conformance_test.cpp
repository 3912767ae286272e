// The protocol as a client sees it, action by action, against a running
// tidewell-server: admission, pulls and their paging, uploads and removals
// with the version rules, the error codes, hostile paths.
#include <set>

#include "net/connection.h"
#include "net/error_codes.h"
#include "protocol/server_error.h"
#include "protocol/server_session.h"
#include "server_fixture.h"

namespace tidewell::server_test {
namespace {

class Conformance : public ServerTest {};

TEST_F(Conformance, ConnectAdmitsAndPromisesAlive) {
    for (SyncClient::Handshake form : {SyncClient::Handshake::TwoStep, SyncClient::Handshake::OneStep}) {
        SyncClient c(server_->port());
        PObject answer;
        ASSERT_EQ(c.Connect(kToken, 1, false, form, &answer), 0) << answer.toString().c_str();
        EXPECT_GT(answer["alive"].asInteger(), 0u);
        EXPECT_TRUE(answer["server"]["package_version"]["build"].isInteger());
        EXPECT_FALSE(answer.hasMember("error"));
        // One connection serves many requests, of any view it names.
        for (int i = 0; i < 3; ++i) {
            PObject pulled = Pull(c, 0);
            EXPECT_GT(pulled["alive"].asInteger(), 0u);
            EXPECT_EQ(pulled["next_sync_id"].asInteger(), 0u);
        }
    }
}

TEST_F(Conformance, ConnectRefusals) {
    // The server's refusal, and what the daemon's handshake makes of it.
    struct Case {
        std::string session;
        uint64_t view;
        bool tls;
        uint64_t code;
        int result;
    };
    const std::vector<Case> cases = {
        {"wrong", 1, false, 8193, ERR_AUTH},
        {"", 1, false, 8193, ERR_AUTH},
        {kToken, 9, false, 12289, ERR_VIEW},
        {kToken, 1, true, 12290, ERR_PERMISS},  // do_ssl, and this server has no certificate
    };
    for (const Case& c : cases) {
        SyncClient client(server_->port());
        PObject answer;
        EXPECT_EQ(client.Connect(c.session, c.view, c.tls, SyncClient::Handshake::OneStep, &answer), c.result);
        EXPECT_EQ(Code(answer), c.code) << c.session << " " << c.view;
        EXPECT_GT(answer["alive"].asInteger(), 0u);
    }
    // "encrypt_channel" without a certificate: refused, and no "connect" follows.
    SyncClient client(server_->port());
    PObject answer;
    EXPECT_EQ(client.Connect(kToken, 1, true, SyncClient::Handshake::TwoStep, &answer), ERR_IO);
    EXPECT_TRUE(answer.isNull());
    ASSERT_EQ(client.Open(), 0);
    PObject refused;
    ASSERT_EQ(client.Run(SCMD_REQUEST_SSL_2, "encrypt_channel", PObject(), refused), 0);
    EXPECT_EQ(Code(refused), 12290u);
}

TEST_F(Conformance, PooledRequestsReuseTheAdmittedChannel) {
    // The daemon's whole path: a pool slot, the handshake when it is
    // expired, the request, the slot kept for the answer's "alive" seconds.
    Connection connection(SyncClient::Info("127.0.0.1", server_->port(), kToken, false), nullptr, nullptr);
    SessionForm form = WorkerSessionForm(1, nullptr, nullptr, nullptr);
    for (int i = 0; i < 3; ++i) {
        PObject request;
        InitRequest(request, "upload");
        const PObject members = UploadMembers("/pooled" + std::to_string(i), "pooled");
        for (auto& [k, v] : members.asMap()) request[k] = v;
        PObject answer;
        SessionStage failed = SessionStage::kNone;
        ASSERT_EQ(RunPooledRequest(connection, 1, SCMD_EVT_RECV_4, request, answer, form, &failed), 0) << i;
        EXPECT_EQ(failed, SessionStage::kNone);
        EXPECT_EQ(ResponseErrorCode(answer, form.errors, form.component), 0) << answer.toString().c_str();
        // From now on a new "connect" would be refused: the next requests
        // only succeed on the channel admitted first.
        if (i == 0) Faults("refuse-connect\n");
    }
    EXPECT_EQ(Ls().size(), 3u);
    SyncClient fresh(server_->port());
    EXPECT_EQ(fresh.Connect(kToken, 1), ERR_IO);
}

TEST_F(Conformance, RequestsNeedAnAdmittedConnection) {
    SyncClient c(server_->port());
    ASSERT_EQ(c.Open(), 0);
    EXPECT_EQ(Code(Pull(c, 0)), 8193u);
    EXPECT_EQ(Code(UploadFile(c, "/a", "x")), 8193u);
    // A refused "connect" does not admit it either.
    PObject answer;
    EXPECT_EQ(c.Run(SCMD_REQUEST_CONNECT, "connect", testing::SessionMembers("wrong", 1), answer), 0);
    EXPECT_EQ(Code(Pull(c, 0)), 8193u);
    EXPECT_TRUE(Ls().empty());
}

TEST_F(Conformance, UploadsBecomeRecordsInOrder) {
    auto c = Client();
    PObject folder = UploadFolder(*c, "/a");
    ASSERT_FALSE(folder.hasMember("error")) << folder.toString().c_str();
    EXPECT_TRUE(folder["is_dir"].asBool());
    PObject file = UploadFile(*c, "/a/b.txt", "hello", 0, 1234);
    ASSERT_FALSE(file.hasMember("error")) << file.toString().c_str();
    EXPECT_GT(file["sync_id"].asInteger(), folder["sync_id"].asInteger());
    EXPECT_EQ(file["max_id"].asInteger(), file["sync_id"].asInteger());
    EXPECT_FALSE(file["is_dir"].asBool());
    EXPECT_NE(file["file"]["file_id"].asInteger(), 0u);
    // Parents are created implicitly, each with its own record.
    PObject deep = UploadFile(*c, "/x/y/z.bin", "zz");
    ASSERT_FALSE(deep.hasMember("error"));

    PObject pulled = Pull(*c, 0);
    const PObject::vector& list = pulled["event_list"].asArray();
    std::vector<std::string> paths;
    uint64_t last = 0;
    for (const PObject& r : list) {
        paths.push_back(r["path"].asString().str());
        EXPECT_GT(r["sync_id"].asInteger(), last);
        last = r["sync_id"].asInteger();
        EXPECT_FALSE(r["is_removed"].asBool());
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/a", "/a/b.txt", "/x", "/x/y", "/x/y/z.bin"}));
    EXPECT_EQ(pulled["next_sync_id"].asInteger(), last);
    const PObject& b = list[1];
    EXPECT_EQ(b["file"]["hash"].asString().str(), Md4Hex("hello"));
    EXPECT_EQ(b["file"]["size"].asInteger(), 5u);
    EXPECT_EQ(b["mtime"]["mtime"].asInteger(), 1234u);
    // A folder's max_id is the newest id of its sub-tree.
    EXPECT_EQ(list[0]["max_id"].asInteger(), b["sync_id"].asInteger());
    EXPECT_EQ(list[2]["max_id"].asInteger(), list[4]["sync_id"].asInteger());
    EXPECT_EQ(list[3]["max_id"].asInteger(), list[4]["sync_id"].asInteger());

    // Nothing new: the request's own id comes back, with no records.
    PObject again = Pull(*c, last);
    EXPECT_EQ(again["next_sync_id"].asInteger(), last);
    EXPECT_TRUE(again["event_list"].asArray().empty());
    EXPECT_TRUE(again.hasMember("event_list"));

    // Below a folder, paths are relative to it; not recursive: children only.
    PObject below = Pull(*c, 0, "/x");
    ASSERT_EQ(below["event_list"].asArray().size(), 2u);
    EXPECT_EQ(below["event_list"][0]["path"].asString(), ustring("/y"));
    EXPECT_EQ(below["event_list"][1]["path"].asString(), ustring("/y/z.bin"));
    PObject children = Pull(*c, 0, "/", false);
    std::vector<std::string> top;
    for (const PObject& r : children["event_list"].asArray()) top.push_back(r["path"].asString().str());
    EXPECT_EQ(top, (std::vector<std::string>{"/a", "/x"}));

    auto ls = Ls();
    ASSERT_EQ(ls.size(), 5u);
    EXPECT_EQ(ls["/a/b.txt"].kind, "file");
    EXPECT_EQ(ls["/a/b.txt"].hash, Md4Hex("hello"));
    EXPECT_EQ(ls["/a/b.txt"].size, 5u);
    EXPECT_EQ(ls["/x/y"].kind, "dir");
}

TEST_F(Conformance, PagingDeliversEveryRecordOnce) {
    auto c = Client();
    const int kRecords = 2500;
    for (int i = 0; i < kRecords; ++i) {
        PObject answer = UploadFile(*c, "/f" + std::to_string(i), "same content");
        ASSERT_FALSE(answer.hasMember("error")) << i;
    }
    std::set<std::string> seen;
    uint64_t from = 0;
    std::vector<size_t> pages;
    for (int round = 0; round < 10; ++round) {
        PObject page = Pull(*c, from);
        const PObject::vector& list = page["event_list"].asArray();
        uint64_t next = page["next_sync_id"].asInteger();
        if (list.empty()) {
            EXPECT_EQ(next, from);
            break;
        }
        pages.push_back(list.size());
        EXPECT_EQ(next, list.back()["sync_id"].asInteger());
        for (const PObject& r : list) {
            EXPECT_GT(r["sync_id"].asInteger(), from);
            EXPECT_TRUE(seen.insert(r["path"].asString().str()).second) << "repeated";
        }
        from = next;
    }
    EXPECT_EQ(pages, (std::vector<size_t>{1000, 1000, 500}));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kRecords));
}

TEST_F(Conformance, RemovalsLeaveTombstonesAndRecreationComesAfter) {
    auto c = Client();
    PObject d = UploadFolder(*c, "/d");
    PObject x = UploadFile(*c, "/d/x", "x");
    PObject y = UploadFile(*c, "/d/sub/y", "y");
    PObject keep = UploadFile(*c, "/keep", "k");
    uint64_t before = keep["sync_id"].asInteger();
    PObject folder = Pull(*c, 0)["event_list"][0];
    ASSERT_EQ(folder["path"].asString(), ustring("/d"));

    PObject removed = Remove(*c, "/d", folder["sync_id"].asInteger(), folder["max_id"].asInteger());
    ASSERT_FALSE(removed.hasMember("error")) << removed.toString().c_str();
    EXPECT_GT(removed["alive"].asInteger(), 0u);

    PObject after = Pull(*c, before);
    std::vector<std::string> paths;
    for (const PObject& r : after["event_list"].asArray()) {
        EXPECT_TRUE(r["is_removed"].asBool());
        paths.push_back(r["path"].asString().str());
    }
    // Deepest first: the folder's tombstone is the newest of its sub-tree.
    EXPECT_EQ(paths, (std::vector<std::string>{"/d/x", "/d/sub/y", "/d/sub", "/d"}));
    uint64_t removal = after["next_sync_id"].asInteger();
    EXPECT_EQ(after["event_list"][3]["max_id"].asInteger(), removal);

    // From 0 the tombstones do not show: the live tree only.
    std::vector<std::string> live;
    PObject from_zero = Pull(*c, 0);
    for (const PObject& r : from_zero["event_list"].asArray()) live.push_back(r["path"].asString().str());
    EXPECT_EQ(live, std::vector<std::string>{"/keep"});

    // Re-created as a file: a new record after the tombstones.
    PObject again = UploadFile(*c, "/d", "now a file");
    ASSERT_FALSE(again.hasMember("error")) << again.toString().c_str();
    EXPECT_GT(again["sync_id"].asInteger(), removal);
    PObject since = Pull(*c, removal);
    ASSERT_EQ(since["event_list"].asArray().size(), 1u);
    EXPECT_EQ(since["event_list"][0]["path"].asString(), ustring("/d"));
    EXPECT_FALSE(since["event_list"][0]["is_removed"].asBool());
    EXPECT_FALSE(since["event_list"][0]["is_dir"].asBool());
    auto ls = Ls();
    EXPECT_EQ(ls.size(), 2u);
    EXPECT_EQ(ls["/d"].kind, "file");
    (void)d;
    (void)x;
    (void)y;
}

TEST_F(Conformance, UploadVersionRules) {
    auto c = Client();
    PObject v1 = UploadFile(*c, "/f", "version 1");
    uint64_t s1 = v1["sync_id"].asInteger();
    ASSERT_NE(s1, 0u);
    UploadFolder(*c, "/dir");

    EXPECT_EQ(Code(UploadFile(*c, "/f", "other content")), 24576u);  // new item onto another content
    PObject retry = UploadFile(*c, "/f", "version 1");               // new item equal to the current one
    EXPECT_FALSE(retry.hasMember("error"));
    EXPECT_EQ(retry["sync_id"].asInteger(), s1);

    PObject v2 = UploadFile(*c, "/f", "version 2", s1);
    ASSERT_FALSE(v2.hasMember("error"));
    uint64_t s2 = v2["sync_id"].asInteger();
    EXPECT_GT(s2, s1);
    EXPECT_EQ(Code(UploadFile(*c, "/f", "version 3", s1)), 36866u);  // stale base
    PObject lost = UploadFile(*c, "/f", "version 2", s1);            // the retry of v2 after a lost answer
    EXPECT_FALSE(lost.hasMember("error"));
    EXPECT_EQ(lost["sync_id"].asInteger(), s2);
    PObject unchanged = UploadFile(*c, "/f", "version 2", s2);  // nothing changed: no new version
    EXPECT_EQ(unchanged["sync_id"].asInteger(), s2);
    PObject touched = UploadFile(*c, "/f", "version 2", s2, 5555);  // a new time is a new version
    EXPECT_GT(touched["sync_id"].asInteger(), s2);

    EXPECT_EQ(Code(UploadFile(*c, "/gone", "x", 77)), 36865u);  // the base is absent
    EXPECT_EQ(Code(UploadFile(*c, "/dir", "x")), 24576u);       // a file onto a folder
    EXPECT_EQ(Code(UploadFolder(*c, "/f")), 24576u);            // a folder onto a file
    EXPECT_EQ(Code(UploadFile(*c, "/f/inside", "x")), 24576u);  // below a file
    PObject same_dir = UploadFolder(*c, "/dir");                // a folder that is there
    EXPECT_FALSE(same_dir.hasMember("error"));

    auto ls = Ls();
    EXPECT_EQ(ls.size(), 2u);
    EXPECT_EQ(ls["/f"].hash, Md4Hex("version 2"));
}

TEST_F(Conformance, UploadContentChecks) {
    auto c = Client();
    // The announced hash or size does not match the bytes sent.
    PObject m = Members();
    m["path"] = "/h";
    m["is_dir"] = false;
    m["sync_id"] = uint64_t{0};
    m["file"]["size"] = uint64_t{3};
    m["file"]["hash"] = ustring(Md4Hex("abd"));
    m["file"]["refer"] = false;
    m["file"]["data"] = PObject::binary_type{0, 3, ustring(File("abc"))};
    PObject answer;
    ASSERT_EQ(c->Run(SCMD_EVT_RECV_4, "upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 36864u);
    m["file"]["hash"] = ustring(Md4Hex("abc"));
    m["file"]["size"] = uint64_t{4};
    ASSERT_EQ(c->Run(SCMD_EVT_RECV_4, "upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 36864u);
    // Files above 524288 bytes are for resume_upload.
    EXPECT_EQ(Code(UploadFile(*c, "/big", Content(524289, 1))), 36864u);
    EXPECT_FALSE(UploadFile(*c, "/edge", Content(524288, 1)).hasMember("error"));
    // A hash that is not one.
    m["file"]["size"] = uint64_t{3};
    m["file"]["hash"] = "ABC";
    ASSERT_EQ(c->Run(SCMD_EVT_RECV_4, "upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 20480u);
    auto ls = Ls();
    EXPECT_EQ(ls.size(), 1u);
    EXPECT_EQ(ls.count("/edge"), 1u);
}

TEST_F(Conformance, RemoveVersionRules) {
    auto c = Client();
    PObject f = UploadFile(*c, "/f", "1");
    PObject f2 = UploadFile(*c, "/f", "2", f["sync_id"].asInteger());
    EXPECT_EQ(Code(Remove(*c, "/absent", 1, 1)), 40961u);
    EXPECT_EQ(Code(Remove(*c, "/f", f["sync_id"].asInteger(), f["sync_id"].asInteger())), 40962u);

    UploadFolder(*c, "/dir");
    PObject seen = UploadFile(*c, "/dir/a", "a");
    PObject dir = Pull(*c, 0, "/", false)["event_list"][1];
    ASSERT_EQ(dir["path"].asString(), ustring("/dir"));
    uint64_t dir_id = dir["sync_id"].asInteger();
    // Something arrived below the folder after what the client saw.
    UploadFile(*c, "/dir/new", "n");
    EXPECT_EQ(Code(Remove(*c, "/dir", dir_id, seen["sync_id"].asInteger())), 40962u);
    EXPECT_EQ(Ls().count("/dir/new"), 1u);
    // A client that has seen everything below may remove it.
    uint64_t max = Pull(*c, 0, "/", false)["event_list"][1]["max_id"].asInteger();
    EXPECT_FALSE(Remove(*c, "/dir", dir_id, max).hasMember("error"));
    EXPECT_FALSE(Remove(*c, "/f", f2["sync_id"].asInteger(), 0).hasMember("error"));
    EXPECT_EQ(Code(Remove(*c, "/f", f2["sync_id"].asInteger(), 0)), 40961u);  // already removed
    EXPECT_TRUE(Ls().empty());
}

TEST_F(Conformance, SessionViewAndTokenErrors) {
    auto c = Client();
    UploadFile(*c, "/file", "f");
    struct Case {
        const char* name;
        std::function<PObject()> run;
        uint64_t code;
    };
    auto with = [&](uint8_t cmd, const char* action, std::function<void(PObject&)> edit) {
        return [=, this, &c] {
            PObject m = Members();
            edit(m);
            PObject answer;
            EXPECT_EQ(c->Run(cmd, action, m, answer), 0);
            return answer;
        };
    };
    std::string into = dir_.file("download");
    const std::vector<Case> cases = {
        {"unknown session",
         with(SCMD_EVT_PULL, "pull_event",
              [](PObject& m) {
                  m["session"] = "nobody";
                  m["sync_id"] = uint64_t{0};
                  m["path"] = "/";
                  m["recursive"] = true;
              }),
         8193},
        {"unknown view",
         with(SCMD_EVT_PULL, "pull_event",
              [](PObject& m) {
                  m["view_id"] = uint64_t{42};
                  m["sync_id"] = uint64_t{0};
                  m["path"] = "/";
                  m["recursive"] = true;
              }),
         12289},
        {"pull of a missing folder", [&] { return Pull(*c, 0, "/nowhere"); }, 12291},
        {"pull of a file", [&] { return Pull(*c, 0, "/file"); }, 12291},
        {"download of nothing",
         [&] {
             PObject answer;
             EXPECT_EQ(Download(*c, "/nothing", 0, Token(*c), 0, into, answer), 0);
             return answer;
         },
         32769},
        {"unknown resume token",
         with(SCMD_RESUME_TRANSFER, "resume_get_status",
              [](PObject& m) { m["_resume_token"] = "1-00000000000000000000000000000000"; }),
         45057},
        {"resume token of another view",
         with(SCMD_RESUME_TRANSFER, "resume_get_status", [](PObject& m) { m["_resume_token"] = "2-0123"; }), 45057},
        {"download resumed without a pinned payload",
         [&] {
             PObject answer;
             EXPECT_EQ(Download(*c, "/file", 0, Token(*c), 10, into, answer), 0);
             return answer;
         },
         45057},
        {"unknown action", with(SCMD_EVT_PULL, "list_everything", [](PObject&) {}), 20480},
        {"action under the wrong command",
         with(SCMD_EVT_RECV_4, "pull_event",
              [](PObject& m) {
                  m["sync_id"] = uint64_t{0};
                  m["path"] = "/";
                  m["recursive"] = true;
              }),
         20480},
        {"missing member", with(SCMD_EVT_PULL, "pull_event", [](PObject& m) { m["path"] = "/"; }), 20480},
        {"mistyped member",
         with(SCMD_EVT_PULL, "pull_event",
              [](PObject& m) {
                  m["sync_id"] = "zero";
                  m["path"] = "/";
                  m["recursive"] = true;
              }),
         20480},
        {"boolean out of range",
         with(SCMD_EVT_PULL, "pull_event",
              [](PObject& m) {
                  m["sync_id"] = uint64_t{0};
                  m["path"] = "/";
                  m["recursive"] = uint64_t{2};
              }),
         20480},
        {"two conditions",
         with(SCMD_EVT_PULL, "pull_event",
              [](PObject& m) {
                  m["sync_id"] = uint64_t{0};
                  m["path"] = "/";
                  m["recursive"] = true;
                  m["condition"]["name"] = "a";
                  m["condition"]["prefix"] = "/b";
              }),
         20480},
    };
    for (const Case& k : cases) {
        PObject answer = k.run();
        EXPECT_EQ(Code(answer), k.code) << k.name << ": " << answer.toString().c_str();
        EXPECT_GT(answer["alive"].asInteger(), 0u) << k.name;
    }
    // The connection went on serving after every one of them.
    EXPECT_EQ(Pull(*c, 0)["event_list"].asArray().size(), 1u);
}

TEST_F(Conformance, HostilePathsAreRefused) {
    auto c = Client();
    UploadFolder(*c, "/ok");
    const std::vector<std::string> paths = {
        "",
        "relative",
        "/",
        "/a/",
        "//a",
        "/a//b",
        "/./a",
        "/a/.",
        "/../escape",
        "/ok/../../escape",
        "/a\\b",
        "/..\\..\\escape",
        std::string(5000, 'x').replace(0, 1, "/"),
        "/" + std::string(1100, 'y'),
    };
    std::string into = dir_.file("download");
    for (const std::string& p : paths) {
        SCOPED_TRACE(p.substr(0, 30));
        EXPECT_EQ(Code(UploadFile(*c, p, "x")), 12291u);
        EXPECT_EQ(Code(UploadFolder(*c, p)), 12291u);
        EXPECT_EQ(Code(Remove(*c, p, 1, 1)), 12291u);
        PObject answer;
        EXPECT_EQ(Download(*c, p, 0, Token(*c), 0, into, answer), 0);
        EXPECT_EQ(Code(answer), 12291u);
        if (p != "/") {
            EXPECT_EQ(Code(Pull(*c, 0, p)), 12291u);
        }
    }
    auto ls = Ls();
    EXPECT_EQ(ls.size(), 1u);
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(dir_.file("escape"), ec));
    EXPECT_FALSE(std::filesystem::exists(root_ + "/escape", ec));
}

TEST_F(Conformance, PullConditionsRestrictTheRecords) {
    auto c = Client();
    UploadFile(*c, "/docs/a.TXT", "1");
    UploadFile(*c, "/docs/b.jpg", Content(100, 1));
    UploadFile(*c, "/other/Thumbs.db", "123");
    UploadFile(*c, "/other/c.txt", Content(40, 2));
    struct Case {
        const char* key;
        const char* text;
        std::vector<std::string> paths;
    };
    auto paths_of = [&](const PObject& condition) {
        std::vector<std::string> out;
        PObject pulled = Pull(*c, 0, "/", true, &condition);
        for (const PObject& r : pulled["event_list"].asArray()) {
            out.push_back(r["path"].asString().str());
        }
        return out;
    };
    const std::vector<Case> cases = {
        {"extension", "txt", {"/docs/a.TXT", "/other/c.txt"}},
        {"prefix", "/docs", {"/docs", "/docs/a.TXT", "/docs/b.jpg"}},
        {"name", "thumbs.db", {"/other/Thumbs.db"}},
    };
    for (const Case& k : cases) {
        PObject condition;
        condition[k.key] = k.text;
        EXPECT_EQ(paths_of(condition), k.paths) << k.key;
    }
    PObject size;
    size["min_size"] = uint64_t{40};
    size["max_size"] = uint64_t{100};
    EXPECT_EQ(paths_of(size), (std::vector<std::string>{"/docs/b.jpg", "/other/c.txt"}));
    // A condition that matches nothing: nothing new, the request's own id.
    PObject none;
    none["extension"] = "pdf";
    PObject m = Pull(*c, 0, "/", true, &none);
    EXPECT_EQ(m["next_sync_id"].asInteger(), 0u);
}

class ReadOnlyView : public ServerTest {
protected:
    std::vector<std::string> ServerArgs() override { return {"--no-fsync", "--view", "1", "--view", "2:ro"}; }
};

TEST_F(ReadOnlyView, RefusesWritesOnly) {
    auto c = Client(2);
    EXPECT_EQ(Code(UploadFile(*c, "/a", "x", 0, 1000, 2)), 12292u);
    PObject m = Members(2);
    m["path"] = "/a";
    m["sync_id"] = uint64_t{1};
    m["max_id"] = uint64_t{1};
    PObject answer;
    ASSERT_EQ(c->Run(SCMD_EVT_REMOVE, "remove", m, answer), 0);
    EXPECT_EQ(Code(answer), 12292u);
    PObject pull = Members(2);
    pull["sync_id"] = uint64_t{0};
    pull["path"] = "/";
    pull["recursive"] = true;
    answer.clear();
    ASSERT_EQ(c->Run(SCMD_EVT_PULL, "pull_event", pull, answer), 0);
    EXPECT_FALSE(answer.hasMember("error"));
    answer.clear();
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_get_token", Members(2), answer), 0);
    EXPECT_FALSE(answer.hasMember("error"));
    // The same connection writes to the other view.
    EXPECT_FALSE(UploadFile(*c, "/a", "x", 0, 1000, 1).hasMember("error"));
}

}  // namespace
}  // namespace tidewell::server_test
