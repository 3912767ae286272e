// A tidewell-server started for one test in a fresh folder, and the
// requests the tests send, built as the daemon builds them.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "delta/md4.h"
#include "protocol/proto_common.h"
#include "stream/pstream.h"
#include "support/server_process.h"
#include "support/sync_client.h"
#include "support/temp_dir.h"

namespace tidewell::server_test {

using testing::SyncClient;

inline const std::string kServer = std::string(TIDEWELL_BINARY_DIR) + "/bin/tidewell-server";
inline const std::string kToken = "secret-session";

inline std::string Md4Hex(const std::string& bytes) {
    uint8_t digest[Md4::DIGEST_SIZE];
    Md4::digest(bytes.data(), bytes.size(), digest);
    return Md4::toHex(digest).str();
}

// Bytes that differ from one seed to the next and do not compress to nothing.
inline std::string Content(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
    return s;
}

inline uint64_t Code(const PObject& answer) {
    return answer["error"]["code"].asInteger();
}

struct LsLine {
    std::string kind;
    uint64_t sync_id = 0;
    uint64_t size = 0;
    std::string hash;
};

class ServerTest : public ::testing::Test {
protected:
    // Extra options for the server; the fixture's token is always given.
    virtual std::vector<std::string> ServerArgs() { return {"--no-fsync"}; }

    void SetUp() override {
        root_ = dir_.file("root");
        server_ = std::make_unique<testing::ServerProcess>(kServer, root_);
        StartServer();
    }
    void TearDown() override {
        // Stopped in order, so that the server's exit (and a sanitizer's
        // report at exit) is part of the test.
        if (server_->running()) {
            EXPECT_EQ(server_->Stop(), 0);
        }
        std::string log = server_->log();
        for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"}) {
            EXPECT_EQ(log.find(report), std::string::npos) << report << " in the server log";
        }
        if (HasFailure()) std::fprintf(stderr, "--- server log ---\n%s\n", log.c_str());
    }

    void StartServer() {
        std::vector<std::string> args = {"--token", kToken};
        for (const std::string& a : ServerArgs()) args.push_back(a);
        ASSERT_TRUE(server_->Start(args)) << server_->log();
    }

    // A connected client, admitted for `view`.
    std::unique_ptr<SyncClient> Client(uint64_t view = 1) {
        auto client = std::make_unique<SyncClient>(server_->port());
        PObject answer;
        EXPECT_EQ(client->Connect(kToken, view, false, SyncClient::Handshake::TwoStep, &answer), 0)
            << answer.toString().c_str();
        return client;
    }

    std::string File(const std::string& bytes) { return dir_.write("data-" + std::to_string(++files_), bytes); }

    PObject Members(uint64_t view = 1) {
        PObject m = testing::SessionMembers(kToken, view);
        m["node_id"] = uint64_t{0};
        return m;
    }

    // An "upload" of a file (command 23) or, with `resumable`, the daemon's
    // sequence: token, dry run, resume_upload.
    PObject UploadFile(SyncClient& c, const std::string& path, const std::string& bytes, uint64_t base = 0,
                       uint64_t mtime = 1000, uint64_t view = 1) {
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_EVT_RECV_4, "upload", UploadMembers(path, bytes, base, mtime, view), answer), 0);
        return answer;
    }

    PObject UploadMembers(const std::string& path, const std::string& bytes, uint64_t base = 0, uint64_t mtime = 1000,
                          uint64_t view = 1) {
        return FileMembers(path, bytes, File(bytes), bytes.size(), base, false, mtime, view);
    }

    // The members of an upload of a file with content `bytes`, whose body
    // is `data_length` bytes of `data_file` (the whole file, or a patch).
    PObject FileMembers(const std::string& path, const std::string& bytes, const std::string& data_file,
                        uint64_t data_length, uint64_t base, bool is_delta, uint64_t mtime = 1000, uint64_t view = 1) {
        PObject m = Members(view);
        m["path"] = ustring(path);
        m["is_dir"] = false;
        m["sync_id"] = base;
        m["max_id"] = base;
        m["file"]["size"] = uint64_t{bytes.size()};
        m["file"]["hash"] = ustring(Md4Hex(bytes));
        m["file"]["refer"] = false;
        m["file"]["is_delta"] = is_delta;
        m["file"]["data"] = PObject::binary_type{0, data_length, ustring(data_file)};
        m["mtime"]["refer"] = false;
        m["mtime"]["mtime"] = mtime;
        return m;
    }

    PObject UploadFolder(SyncClient& c, const std::string& path, uint64_t base = 0, uint64_t view = 1) {
        PObject m = Members(view);
        m["path"] = ustring(path);
        m["is_dir"] = true;
        m["sync_id"] = base;
        m["max_id"] = base;
        m["mtime"]["refer"] = false;
        m["mtime"]["mtime"] = uint64_t{2000};
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_EVT_RECV_4, "upload", m, answer), 0);
        return answer;
    }

    std::string Token(SyncClient& c, uint64_t view = 1) {
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_RESUME_TRANSFER, "resume_get_token", Members(view), answer), 0);
        return answer["resume_token"].asString().str();
    }

    // The members of a resume_upload under `token` (none when empty).
    PObject ResumeMembers(const std::string& path, const std::string& bytes, const std::string& data_file,
                          uint64_t data_length, const std::string& token, uint64_t base = 0, bool is_delta = false) {
        PObject m = FileMembers(path, bytes, data_file, data_length, base, is_delta);
        if (!token.empty()) m["_resume_token"] = ustring(token);
        return m;
    }

    PObject Remove(SyncClient& c, const std::string& path, uint64_t sync_id, uint64_t max_id) {
        PObject m = Members();
        m["path"] = ustring(path);
        m["sync_id"] = sync_id;
        m["max_id"] = max_id;
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_EVT_REMOVE, "remove", m, answer), 0);
        return answer;
    }

    PObject Pull(SyncClient& c, uint64_t from, const std::string& path = "/", bool recursive = true,
                 const PObject* condition = nullptr) {
        PObject m = Members();
        m["sync_id"] = from;
        m["path"] = ustring(path);
        m["recursive"] = recursive;
        m["file"]["offset"] = uint64_t{0};
        m["mtime"]["offset"] = uint64_t{0};
        if (condition) m["condition"] = *condition;
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_EVT_PULL, "pull_event", m, answer), 0);
        return answer;
    }

    // A resume_download into `into` (preset so that a resumed one appends).
    int Download(SyncClient& c, const std::string& path, uint64_t base, const std::string& token, uint64_t offset,
                 const std::string& into, PObject& answer) {
        PObject m = Members();
        m["path"] = ustring(path);
        m["sync_id"] = base;
        m["max_id"] = base;
        m["target_sync_id"] = uint64_t{0};
        m["file"]["offset"] = offset;
        m["mtime"]["offset"] = uint64_t{0};
        m["force_current_version"] = false;
        if (!token.empty()) m["_resume_token"] = ustring(token);
        answer.clear();
        answer["file"]["data"] = PObject::binary_type{offset, offset, ustring(into)};
        return c.Run(SCMD_RESUME_TRANSFER, "resume_download", m, answer);
    }

    // The bytes of a request as a client puts them on the wire.
    static std::string Encode(uint8_t command, const std::string& action, const PObject& members) {
        PObject request;
        InitRequest(request, action);
        for (const auto& [k, v] : members.asMap()) request[k] = v;
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "";
        std::thread encoder([&] {
            Channel pipe;
            pipe.Open(fds[0], true);
            ProtoWriteHeader(pipe, 0, command);
            PStream stream;
            stream.Send(pipe, request);
            pipe.Close();
        });
        std::string encoded;
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof buf)) > 0) encoded.append(buf, static_cast<size_t>(n));
        close(fds[1]);
        encoder.join();
        return encoded;
    }

    // Sends raw bytes on a client's channel.
    static void SendRaw(SyncClient& c, const std::string& bytes) {
        Channel& ch = c.channel();
        for (size_t done = 0; done < bytes.size();) {
            size_t n = std::min<size_t>(bytes.size() - done, 65536);
            EXPECT_EQ(ch.Write(bytes.data() + done, n), 0);
            done += n;
        }
        EXPECT_EQ(ch.FlushWrite(0), 0);
    }

    std::map<std::string, LsLine> Ls() {
        int status = 0;
        std::string out = testing::ServerProcess::RunTool(kServer, {"ls", "--root", root_}, status);
        EXPECT_EQ(status, 0);
        std::map<std::string, LsLine> lines;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string path;
            LsLine l;
            std::getline(fields, path, '\t');
            fields >> l.kind >> l.sync_id >> l.size >> l.hash;
            lines[path] = l;
        }
        return lines;
    }

    // Replaces the fault file at once (a new file, renamed into place).
    void Faults(const std::string& rules) {
        std::string temp = root_ + "/faults.new";
        {
            std::ofstream out(temp);
            out << rules;
        }
        std::rename(temp.c_str(), (root_ + "/faults").c_str());
    }

    testing::TempDir dir_;
    std::string root_;
    std::unique_ptr<testing::ServerProcess> server_;
    std::atomic<int> files_{0};  // File() is called from the threads of a test too
};

}  // namespace tidewell::server_test
