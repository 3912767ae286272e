// Transfers: the dry run that finds content already held, resumable
// uploads and downloads cut at random offsets and continued under their
// token, patches against kept versions in both directions, and the blobs
// that old versions keep.
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"
#include "server_fixture.h"

namespace tidewell::server_test {
namespace {

class Transfers : public ServerTest {
protected:
    // The daemon's dry run: the request without its data, as "upload".
    PObject DryRun(SyncClient& c, const std::string& path, const std::string& bytes, uint64_t base = 0) {
        PObject m = ResumeMembers(path, bytes, File(bytes), bytes.size(), "", base);
        m["file"].asMap().erase("data");
        m["dry_run"] = true;
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_EVT_RECV_4, "upload", m, answer), 0);
        return answer;
    }

    PObject Status(SyncClient& c, const std::string& token) {
        PObject m = Members();
        m["_resume_token"] = ustring(token);
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_RESUME_TRANSFER, "resume_get_status", m, answer), 0);
        return answer;
    }

    // The rest of an upload from the offset the server holds, as the
    // daemon continues a cached one.
    PObject Continue(SyncClient& c, PObject members, const std::string& token) {
        uint64_t held = Status(c, token)["file"]["offset"].asInteger();
        PObject::binary_type& data = members["file"]["data"].asBinary();
        data.offset += held;
        data.length -= held;
        PObject answer;
        EXPECT_EQ(c.Run(SCMD_RESUME_TRANSFER, "resume_upload", members, answer), 0);
        return answer;
    }

    std::string DownloadWhole(SyncClient& c, const std::string& path, uint64_t base, PObject& answer) {
        std::string into = dir_.file("download-" + std::to_string(++files_));
        EXPECT_EQ(Download(c, path, base, Token(c), 0, into, answer), 0);
        return testing::TempDir::read(into);
    }

    size_t Blobs() {
        size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(root_ + "/views/1/content")) {
            (void)e;
            ++n;
        }
        return n;
    }

    static std::string Signature(const std::string& basis, const std::string& out) {
        SimpleFileReader reader;
        reader.setFile(ustring(basis));
        reader.setSignature(ustring(out), 2048, 8);
        EXPECT_EQ(reader.readFile(), 0);
        return out;
    }
    static std::string Delta(const std::string& file, const std::string& signature, const std::string& out) {
        SimpleFileReader reader;
        reader.setFile(ustring(file));
        reader.setDelta(ustring(out), ustring(signature));
        EXPECT_EQ(reader.readFile(), 0);
        return out;
    }
    static std::string Patch(const std::string& basis, const std::string& patch, const std::string& out) {
        DeltaFileReader reader;
        ustring hash;
        reader.setFile(ustring(patch), ustring(basis));
        reader.setNewFile(ustring(out));
        reader.setHashString(hash);
        EXPECT_EQ(reader.readFile(), 0);
        EXPECT_TRUE(reader.isComplete());
        return testing::TempDir::read(out);
    }

    std::mt19937 random_{20240611};
};

TEST_F(Transfers, DryRunFindsHeldContentAndChangesNothing) {
    auto c = Client();
    const std::string held = Content(300000, 7);
    PObject first = UploadFile(*c, "/a", held);
    ASSERT_FALSE(first.hasMember("error"));
    uint64_t last = Pull(*c, 0)["next_sync_id"].asInteger();

    PObject found = DryRun(*c, "/b", held);
    EXPECT_FALSE(found.hasMember("error"));
    EXPECT_EQ(found["file"]["file_id"].asInteger(), first["file"]["file_id"].asInteger());
    EXPECT_EQ(DryRun(*c, "/b", Content(300000, 8))["file"]["file_id"].asInteger(), 0u);
    EXPECT_EQ(Code(DryRun(*c, "/a", Content(10, 9))), 24576u);  // it tells the refusal the upload would get
    EXPECT_EQ(Pull(*c, 0)["next_sync_id"].asInteger(), last);
    EXPECT_EQ(Ls().size(), 1u);

    // The daemon then sends a reference instead of the bytes.
    std::string token = Token(*c);
    PObject m = ResumeMembers("/b", held, "", 0, token);
    m["file"].asMap().erase("data");
    m["file"]["refer"] = true;
    m["file"]["file_id"] = found["file"]["file_id"].asInteger();
    PObject answer;
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_EQ(answer["file"]["file_id"].asInteger(), first["file"]["file_id"].asInteger());
    PObject got;
    EXPECT_EQ(DownloadWhole(*c, "/b", 0, got), held);
    EXPECT_EQ(Blobs(), 1u);
    // A reference to content the server does not hold is refused.
    m["path"] = "/c";
    m["file"]["file_id"] = uint64_t{999};
    m["_resume_token"] = ustring(Token(*c));
    answer.clear();
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 36864u);
}

TEST_F(Transfers, UploadResumesAfterCutsAtRandomOffsets) {
    const std::string bytes = Content(3 << 20, 11);
    const std::string file = File(bytes);
    for (int round = 0; round < 3; ++round) {
        std::string path = "/big" + std::to_string(round);
        uint64_t cut = std::uniform_int_distribution<uint64_t>(200, bytes.size() - 1000)(random_);
        SCOPED_TRACE("cut after " + std::to_string(cut));
        Faults("cut-request action=resume_upload after=" + std::to_string(cut) + " once\n");
        auto c = Client();
        std::string token = Token(*c);
        PObject m = ResumeMembers(path, bytes, file, bytes.size(), token);
        PObject answer;
        EXPECT_NE(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
        EXPECT_EQ(Ls().count(path), 0u);  // nothing half-committed

        auto again = Client();
        uint64_t held = Status(*again, token)["file"]["offset"].asInteger();
        EXPECT_LT(held, cut);
        EXPECT_GT(held + 300, cut);  // all but the header and the members before the body
        answer = Continue(*again, m, token);
        ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
        auto ls = Ls();
        EXPECT_EQ(ls[path].hash, Md4Hex(bytes));
        EXPECT_EQ(ls[path].size, bytes.size());
        PObject got;
        EXPECT_EQ(Md4Hex(DownloadWhole(*again, path, 0, got)), Md4Hex(bytes));
    }
}

TEST_F(Transfers, UploadResumesAcrossSeveralCutsAndIncompleteRequests) {
    const std::string bytes = Content(2 << 20, 12);
    const std::string file = File(bytes);
    auto c = Client();
    std::string token = Token(*c);
    PObject m = ResumeMembers("/multi", bytes, file, bytes.size(), token);
    for (uint64_t cut : {300000u, 900000u}) {
        Faults("cut-request action=resume_upload after=" + std::to_string(cut) + " once\n");
        auto k = Client();
        PObject rest = m;
        uint64_t held = Status(*k, token)["file"]["offset"].asInteger();
        rest["file"]["data"].asBinary().offset = held;
        rest["file"]["data"].asBinary().length = bytes.size() - held;
        PObject answer;
        EXPECT_NE(k->Run(SCMD_RESUME_TRANSFER, "resume_upload", rest, answer), 0);
    }
    Faults("");
    // A request that sends less than the file: refused, and what it sent is kept.
    auto k = Client();
    uint64_t held = Status(*k, token)["file"]["offset"].asInteger();
    PObject shorter = m;
    PObject::binary_type& data = shorter["file"]["data"].asBinary();
    data.offset = held;
    data.length = 1000;
    PObject answer;
    ASSERT_EQ(k->Run(SCMD_RESUME_TRANSFER, "resume_upload", shorter, answer), 0);
    EXPECT_EQ(Code(answer), 36864u);
    EXPECT_EQ(Status(*k, token)["file"]["offset"].asInteger(), held + 1000);
    answer = Continue(*k, m, token);
    ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_EQ(Ls()["/multi"].hash, Md4Hex(bytes));
}

TEST_F(Transfers, WrongBytesRestartTheToken) {
    const std::string bytes = Content(1 << 20, 13);
    std::string wrong = bytes;
    wrong[500000] ^= 1;
    auto c = Client();
    std::string token = Token(*c);
    PObject m = ResumeMembers("/w", bytes, File(wrong), wrong.size(), token);
    PObject answer;
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 36864u);
    EXPECT_EQ(Status(*c, token)["file"]["offset"].asInteger(), 0u);
    EXPECT_EQ(Ls().count("/w"), 0u);
    // The same token then takes the right bytes.
    m["file"]["data"] = PObject::binary_type{0, bytes.size(), ustring(File(bytes))};
    answer.clear();
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    EXPECT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    // A token is for one path.
    m["path"] = "/elsewhere";
    answer.clear();
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 45057u);
    m.asMap().erase("_resume_token");
    answer.clear();
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    EXPECT_EQ(Code(answer), 20480u);
}

TEST_F(Transfers, ACommittedTokenAnswersTheSameResultAgain) {
    const std::string bytes = Content(1 << 20, 14);
    auto c = Client();
    std::string token = Token(*c);
    PObject m = ResumeMembers("/once", bytes, File(bytes), bytes.size(), token);
    Faults("cut-answer action=resume_upload after=10 once\n");
    PObject answer;
    EXPECT_NE(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);  // committed, but the answer is lost
    auto ls = Ls();
    ASSERT_EQ(ls.count("/once"), 1u);

    auto again = Client();
    EXPECT_EQ(Status(*again, token)["file"]["offset"].asInteger(), bytes.size());
    answer = Continue(*again, m, token);
    ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_EQ(answer["sync_id"].asInteger(), ls["/once"].sync_id);
    EXPECT_EQ(Ls()["/once"].sync_id, ls["/once"].sync_id);
}

TEST_F(Transfers, ARetryWaitsForTheTokenItsPredecessorStillHolds) {
    // The first connection stops in the middle of its body and lingers; the
    // client is already back on a second one and asks how far it got.
    const std::string bytes = Content(2 << 20, 15);
    auto first = Client();
    std::string token = Token(*first);
    PObject m = ResumeMembers("/held", bytes, File(bytes), bytes.size(), token);
    std::string encoded = Encode(SCMD_RESUME_TRANSFER, "resume_upload", m);
    SendRaw(*first, encoded.substr(0, encoded.size() / 2));
    const std::string part = root_ + "/views/1/uploads/" + token;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    while ((!std::filesystem::exists(part, ec) || std::filesystem::file_size(part, ec) == 0) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The old connection goes away a while after the retry has started.
    std::thread leave([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        first->Close();
    });
    auto retry = Client();
    PObject status = Status(*retry, token);
    leave.join();
    ASSERT_FALSE(status.hasMember("error")) << status.toString().c_str();
    uint64_t held = status["file"]["offset"].asInteger();
    EXPECT_GT(held, 0u);
    PObject answer = Continue(*retry, m, token);
    ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_EQ(Ls()["/held"].hash, Md4Hex(bytes));
}

TEST_F(Transfers, DownloadResumesAfterCutsAtRandomOffsets) {
    const std::string bytes = Content(3 << 20, 21);
    auto c = Client();
    std::string token = Token(*c);
    PObject m = ResumeMembers("/big", bytes, File(bytes), bytes.size(), token);
    PObject answer;
    ASSERT_EQ(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    ASSERT_FALSE(answer.hasMember("error"));
    const uint64_t version = answer["sync_id"].asInteger();

    for (int round = 0; round < 3; ++round) {
        uint64_t cut = std::uniform_int_distribution<uint64_t>(300, bytes.size())(random_);
        SCOPED_TRACE("cut after " + std::to_string(cut));
        Faults("cut-answer action=resume_download after=" + std::to_string(cut) + " once\n");
        auto k = Client();
        std::string download_token = Token(*k);
        std::string into = dir_.file("partial-" + std::to_string(round));
        PObject got;
        EXPECT_NE(Download(*k, "/big", 0, download_token, 0, into, got), 0);
        uint64_t partial = std::filesystem::file_size(into);
        EXPECT_LT(partial, bytes.size());
        if (round == 2) {
            // The item changes meanwhile: the resumed download still gets the
            // rest of the version it started.
            auto writer = Client();
            std::string token2 = Token(*writer);
            std::string v2 = Content(2 << 20, 22);
            PObject n = ResumeMembers("/big", v2, File(v2), v2.size(), token2, version);
            PObject a;
            ASSERT_EQ(writer->Run(SCMD_RESUME_TRANSFER, "resume_upload", n, a), 0);
            ASSERT_FALSE(a.hasMember("error")) << a.toString().c_str();
        }
        auto resumed = Client();
        ASSERT_EQ(Download(*resumed, "/big", 0, download_token, partial, into, got), 0);
        ASSERT_FALSE(got.hasMember("error")) << got.toString().c_str();
        EXPECT_EQ(got["sync_id"].asInteger(), version);
        EXPECT_EQ(got["file"]["hash"].asString().str(), Md4Hex(bytes));
        EXPECT_EQ(Md4Hex(testing::TempDir::read(into)), Md4Hex(bytes));
    }
}

TEST_F(Transfers, PatchesAgainstKeptVersionsAndWholeFilesOtherwise) {
    auto c = Client();
    std::string v1 = Content(200000, 31);
    std::string v2 = v1;
    v2.replace(100000, 5, "PATCH");
    v2 += "tail";
    uint64_t s1 = UploadFile(*c, "/p", v1)["sync_id"].asInteger();
    uint64_t s2 = UploadFile(*c, "/p", v2, s1)["sync_id"].asInteger();
    ASSERT_GT(s2, s1);

    // Against the kept version: a patch, much smaller than the file.
    std::string into = dir_.file("patch");
    PObject answer;
    ASSERT_EQ(Download(*c, "/p", s1, Token(*c), 0, into, answer), 0);
    ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_TRUE(answer["file"]["is_delta"].asBool());
    EXPECT_FALSE(answer["file"]["refer"].asBool());
    EXPECT_EQ(answer["sync_id"].asInteger(), s2);
    EXPECT_EQ(answer["file"]["hash"].asString().str(), Md4Hex(v2));
    EXPECT_LT(std::filesystem::file_size(into), v2.size() / 4);
    EXPECT_EQ(Patch(File(v1), into, dir_.file("patched")), v2);

    // From nothing: the whole file.
    PObject whole;
    EXPECT_EQ(DownloadWhole(*c, "/p", 0, whole), v2);
    EXPECT_FALSE(whole["file"]["is_delta"].asBool());
    // The current version: nothing to send.
    PObject same;
    into = dir_.file("same");
    ASSERT_EQ(Download(*c, "/p", s2, Token(*c), 0, into, same), 0);
    EXPECT_TRUE(same["file"]["refer"].asBool());
    EXPECT_EQ(same["sync_id"].asInteger(), s2);
    EXPECT_FALSE(std::filesystem::exists(into));

    // A base that has fallen out of the kept versions: the whole file.
    uint64_t s = s2;
    std::string last;
    for (int i = 0; i < 3; ++i) {
        last = v2 + std::to_string(i);
        s = UploadFile(*c, "/p", last, s)["sync_id"].asInteger();
    }
    PObject old;
    EXPECT_EQ(DownloadWhole(*c, "/p", s1, old), last);
    EXPECT_FALSE(old["file"]["is_delta"].asBool());
    PObject kept;
    into = dir_.file("kept");
    ASSERT_EQ(Download(*c, "/p", s2, Token(*c), 0, into, kept), 0);
    EXPECT_TRUE(kept["file"]["is_delta"].asBool());
    EXPECT_EQ(Patch(File(v2), into, dir_.file("patched2")), last);

    // A patch download cut and resumed gets the same patch.
    std::string token = Token(*c);
    Faults("cut-answer action=resume_download after=300 once\n");
    into = dir_.file("cut-patch");
    PObject cut;
    EXPECT_NE(Download(*c, "/p", s2, token, 0, into, cut), 0);
    auto k = Client();
    uint64_t partial = std::filesystem::file_size(into);
    ASSERT_EQ(Download(*k, "/p", s2, token, partial, into, cut), 0);
    ASSERT_FALSE(cut.hasMember("error")) << cut.toString().c_str();
    EXPECT_TRUE(cut["file"]["is_delta"].asBool());
    EXPECT_EQ(Patch(File(v2), into, dir_.file("patched3")), last);
}

TEST_F(Transfers, TheNonResumableDownloadForm) {
    // Command 24 carries no token: the same answers, nothing kept after.
    auto c = Client();
    std::string v1 = Content(300000, 51), v2 = v1 + "more";
    uint64_t s1 = UploadFile(*c, "/n", v1)["sync_id"].asInteger();
    UploadFile(*c, "/n", v2, s1);
    for (uint64_t base : {uint64_t{0}, s1}) {
        PObject m = Members();
        m["path"] = "/n";
        m["sync_id"] = base;
        m["file"]["offset"] = uint64_t{0};
        std::string into = dir_.file("plain" + std::to_string(base));
        PObject answer;
        answer["file"]["data"] = PObject::binary_type{0, 0, ustring(into)};
        ASSERT_EQ(c->Run(SCMD_EVT_SEND_2, "resume_download", m, answer), 0);
        ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
        EXPECT_EQ(answer["file"]["is_delta"].asBool(), base != 0);
        std::string got = base == 0 ? testing::TempDir::read(into) : Patch(File(v1), into, dir_.file("p"));
        EXPECT_EQ(got, v2);
    }
    // The patch goes once the answer has left, which the server may finish
    // just after the client has read it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::is_empty(root_ + "/views/1/tmp") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/views/1/tmp"));
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/views/1/payloads"));
}

TEST_F(Transfers, PatchUploadsAgainstTheBaseVersion) {
    auto c = Client();
    std::string v1 = Content(1 << 20, 41);
    std::string v2 = v1;
    v2.replace(400000, 8, "CHANGED!");
    std::string base_file = File(v1), new_file = File(v2);
    uint64_t s1 = 0;
    {
        std::string token = Token(*c);
        PObject answer;
        ASSERT_EQ(
            c->Run(SCMD_RESUME_TRANSFER, "resume_upload", ResumeMembers("/q", v1, base_file, v1.size(), token), answer),
            0);
        s1 = answer["sync_id"].asInteger();
        ASSERT_NE(s1, 0u);
    }
    std::string delta = Delta(new_file, Signature(base_file, dir_.file("sig")), dir_.file("delta"));
    uint64_t delta_size = std::filesystem::file_size(delta);
    EXPECT_LT(delta_size, v2.size() / 10);

    // Cut in the middle of the patch, then continued.
    std::string token = Token(*c);
    PObject m = ResumeMembers("/q", v2, delta, delta_size, token, s1, true);
    Faults("cut-request action=resume_upload after=" + std::to_string(delta_size / 2) + " once\n");
    PObject answer;
    EXPECT_NE(c->Run(SCMD_RESUME_TRANSFER, "resume_upload", m, answer), 0);
    auto k = Client();
    answer = Continue(*k, m, token);
    ASSERT_FALSE(answer.hasMember("error")) << answer.toString().c_str();
    EXPECT_GT(answer["sync_id"].asInteger(), s1);
    PObject got;
    EXPECT_EQ(DownloadWhole(*k, "/q", 0, got), v2);

    // A patch against a version that is no longer the current one, and one
    // that is not a patch.
    PObject stale = ResumeMembers("/q", v2 + "x", delta, delta_size, Token(*k), s1, true);
    answer.clear();
    ASSERT_EQ(k->Run(SCMD_RESUME_TRANSFER, "resume_upload", stale, answer), 0);
    EXPECT_EQ(Code(answer), 36866u);
    uint64_t s2 = Ls()["/q"].sync_id;
    std::string junk = File(Content(5000, 42));
    PObject garbage = ResumeMembers("/q", v2 + "y", junk, 5000, Token(*k), s2, true);
    answer.clear();
    ASSERT_EQ(k->Run(SCMD_RESUME_TRANSFER, "resume_upload", garbage, answer), 0);
    EXPECT_EQ(Code(answer), 36864u);
    EXPECT_EQ(Ls()["/q"].hash, Md4Hex(v2));
}

class KeepOneVersion : public Transfers {
protected:
    std::vector<std::string> ServerArgs() override { return {"--no-fsync", "--keep-versions", "1"}; }
};

TEST_F(KeepOneVersion, OldBlobsGoWithTheirVersions) {
    // Above the size kept in the index: one file per blob.
    auto version = [](int i) { return Content(100000, 60 + i); };
    auto c = Client();
    uint64_t s = 0;
    for (int i = 0; i < 4; ++i) s = UploadFile(*c, "/k", version(i), s)["sync_id"].asInteger();
    EXPECT_EQ(Blobs(), 2u);  // the current one and one kept
    UploadFile(*c, "/copy", version(3));
    EXPECT_EQ(Blobs(), 2u);  // the same content is stored once
    ASSERT_FALSE(Remove(*c, "/k", s, s).hasMember("error"));
    EXPECT_EQ(Blobs(), 1u);  // still held by /copy
    uint64_t copy = Ls()["/copy"].sync_id;
    ASSERT_FALSE(Remove(*c, "/copy", copy, copy).hasMember("error"));
    EXPECT_EQ(Blobs(), 0u);
}

TEST_F(KeepOneVersion, SmallContentsLiveInTheIndex) {
    auto c = Client();
    uint64_t s = 0;
    for (int i = 0; i < 4; ++i) s = UploadFile(*c, "/small", "version " + std::to_string(i), s)["sync_id"].asInteger();
    UploadFile(*c, "/empty", "");
    EXPECT_EQ(Blobs(), 0u);
    // A download makes the blob's file, from the index.
    PObject got;
    EXPECT_EQ(DownloadWhole(*c, "/small", 0, got), "version 3");
    EXPECT_EQ(DownloadWhole(*c, "/empty", 0, got), "");
    EXPECT_EQ(got["file"]["hash"].asString().str(), Md4Hex(""));
    EXPECT_EQ(Blobs(), 2u);
    // It goes with its version like any other.
    ASSERT_FALSE(Remove(*c, "/small", s, s).hasMember("error"));
    EXPECT_EQ(Blobs(), 1u);
}

}  // namespace
}  // namespace tidewell::server_test
