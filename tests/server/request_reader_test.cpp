// The strict request decoder, fed real bytes through a socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "delta/md4.h"
#include "server/request_reader.h"
#include "stream/pstream.h"
#include "support/temp_dir.h"

namespace tw_server {
namespace {

// Encoders of the tagged binary form.
std::string Str(const std::string& s) {
    std::string out(1, static_cast<char>(PStream::TAG_STRING));
    out += static_cast<char>(s.size() >> 8);
    out += static_cast<char>(s.size());
    return out + s;
}
std::string Int(uint64_t v, int width = 8) {
    std::string out(1, static_cast<char>(PStream::TAG_INTEGER));
    out += static_cast<char>(width);
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
    return out;
}
std::string Bin(const std::string& bytes) {
    std::string out(1, static_cast<char>(PStream::TAG_BINARY));
    for (int i = 7; i >= 0; --i) out += static_cast<char>(static_cast<uint64_t>(bytes.size()) >> (8 * i));
    return out + bytes;
}
const std::string kMap(1, static_cast<char>(PStream::TAG_MAP));
const std::string kArray(1, static_cast<char>(PStream::TAG_ARRAY));
const std::string kEnd(1, static_cast<char>(PStream::TAG_END));
const std::string kNull("\x00\x00", 2);

struct Result {
    ReadOutcome outcome;
    PObject value;
    std::string problem;
    std::set<std::string> nul_members;
    int store_error = 0;
};

Result Decode(const std::string& bytes, const RequestReader::Placer& placer = nullptr,
              RequestLimits limits = RequestLimits{}) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread writer([&] {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(fds[1], bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fds[1]);
    });
    Result r;
    {
        Channel ch;
        EXPECT_EQ(ch.Open(fds[0], true), 0);
        ch.SetTimeout(10);
        RequestReader reader(ch, limits);
        r.outcome = reader.Read(r.value, placer, nullptr);
        r.problem = reader.problem();
        r.nul_members = reader.nul_members();
        r.store_error = reader.store_error();
        ch.Close();
    }
    writer.join();
    return r;
}

TEST(RequestReader, DecodesAMap) {
    std::string bytes = kMap + Str("action") + Str("upload") + Str("n") + Int(300, 2) + Str("z") + kNull + Str("list") +
                        kArray + Int(1, 1) + Str("x") + kEnd + Str("m") + kMap + Str("k") + Int(7, 1) + kEnd + kEnd;
    Result r = Decode(bytes);
    ASSERT_EQ(r.outcome, ReadOutcome::Ok) << r.problem;
    EXPECT_EQ(r.value["action"].asString(), ustring("upload"));
    EXPECT_EQ(r.value["n"].asInteger(), 300u);
    EXPECT_TRUE(r.value["z"].isNull());
    EXPECT_TRUE(r.value.hasMember("z"));
    EXPECT_EQ(r.value["list"].asArray().size(), 2u);
    EXPECT_EQ(r.value["m"]["k"].asInteger(), 7u);
}

TEST(RequestReader, RefusesWhatIsNotARequest) {
    struct Case {
        std::string name;
        std::string bytes;
        const char* problem;
    };
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += Str("k") + kMap;
    const std::vector<Case> cases = {
        {"not a map", Int(5, 1), "not a map"},
        {"key not a string", kMap + Int(1, 1) + Int(1, 1) + kEnd, "map key with tag"},
        {"repeated key", kMap + Str("a") + Int(1, 1) + Str("a") + Int(2, 1) + kEnd, "twice"},
        {"null of length 1", kMap + Str("a") + std::string("\x00\x01", 2) + kEnd, "null of length 1"},
        {"wide integer", kMap + Str("a") + std::string("\x01\x09", 2) + std::string(9, '\1') + kEnd, "9 bytes"},
        {"unknown tag", kMap + Str("a") + std::string("\x20", 1) + kEnd, "unknown tag 32"},
        {"key with NUL", kMap + Str(std::string("a\0b", 3)) + Int(1, 1) + kEnd, "NUL"},
        {"too deep", kMap + deep, "nesting deeper"},
    };
    for (const Case& c : cases) {
        Result r = Decode(c.bytes);
        EXPECT_EQ(r.outcome, ReadOutcome::Malformed) << c.name;
        EXPECT_NE(r.problem.find(c.problem), std::string::npos) << c.name << ": " << r.problem;
    }
}

TEST(RequestReader, Limits) {
    RequestLimits limits;
    limits.max_values = 5;
    std::string many = kMap;
    for (int i = 0; i < 6; ++i) many += Str("k" + std::to_string(i)) + Int(1, 1);
    EXPECT_EQ(Decode(many + kEnd, nullptr, limits).outcome, ReadOutcome::Malformed);

    limits = RequestLimits{};
    limits.max_text_bytes = 100;
    EXPECT_EQ(Decode(kMap + Str("k") + Str(std::string(200, 'x')) + kEnd, nullptr, limits).outcome,
              ReadOutcome::Malformed);
}

TEST(RequestReader, TruncatedInputIsABrokenConnection) {
    std::string whole = kMap + Str("action") + Str("pull_event") + Str("n") + Int(1) + kEnd;
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_EQ(Decode(whole.substr(0, cut)).outcome, ReadOutcome::Broken) << cut;
    }
}

TEST(RequestReader, StringsWithANulAreCutAndListed) {
    Result r = Decode(kMap + Str("path") + Str(std::string("/a\0/../../etc", 13)) + kEnd);
    ASSERT_EQ(r.outcome, ReadOutcome::Ok);
    EXPECT_EQ(r.value["path"].asString(), ustring("/a"));
    EXPECT_EQ(r.nul_members, (std::set<std::string>{"path"}));
}

TEST(RequestReader, BinariesGoWhereThePlacerSays) {
    tidewell::testing::TempDir dir;
    std::string target = dir.write("part", "abcdef");
    Md4 md4;
    md4.init();
    std::vector<std::string> seen_keys;
    auto placer = [&](const std::vector<std::string>& keys, uint64_t length, const PObject& partial) {
        seen_keys = keys;
        EXPECT_EQ(length, 5u);
        EXPECT_EQ(partial["action"].asString(), ustring("resume_upload"));  // members before it are visible
        BinaryTarget t;
        t.path = target;
        t.offset = 2;
        t.hash = &md4;
        return t;
    };
    Result r = Decode(kMap + Str("action") + Str("resume_upload") + Str("file") + kMap + Str("data") + Bin("HELLO") +
                          Str("size") + Int(7, 1) + kEnd + kEnd,
                      placer);
    ASSERT_EQ(r.outcome, ReadOutcome::Ok) << r.problem;
    EXPECT_EQ(seen_keys, (std::vector<std::string>{"file", "data"}));
    const PObject::binary_type& b = r.value["file"]["data"].asBinary();
    EXPECT_EQ(b.offset, 2u);
    EXPECT_EQ(b.length, 5u);
    EXPECT_EQ(b.path, ustring(target));
    EXPECT_EQ(tidewell::testing::TempDir::read(target), "abHELLO");  // cut back to the offset, then appended
    EXPECT_EQ(r.value["file"]["size"].asInteger(), 7u);
    uint8_t digest[Md4::DIGEST_SIZE], expected[Md4::DIGEST_SIZE];
    md4.final(digest);
    Md4::digest("HELLO", 5, expected);
    EXPECT_EQ(Md4::toHex(digest), Md4::toHex(expected));
}

TEST(RequestReader, DroppedAndUnstorableBinariesKeepTheStreamInStep) {
    // No placer: the bytes are read and dropped.
    Result dropped = Decode(kMap + Str("a") + Bin(std::string(100000, 'x')) + Str("b") + Int(9, 1) + kEnd);
    ASSERT_EQ(dropped.outcome, ReadOutcome::Ok) << dropped.problem;
    EXPECT_TRUE(dropped.value["a"].asBinary().path.empty());
    EXPECT_EQ(dropped.value["b"].asInteger(), 9u);

    // A target that cannot be written: the failure is told, the rest read.
    auto placer = [](const std::vector<std::string>&, uint64_t, const PObject&) {
        BinaryTarget t;
        t.path = "/nonexistent-folder/part";
        return t;
    };
    Result failed = Decode(kMap + Str("a") + Bin("bytes") + Str("b") + Int(9, 1) + kEnd, placer);
    ASSERT_EQ(failed.outcome, ReadOutcome::Ok);
    EXPECT_NE(failed.store_error, 0);
    EXPECT_EQ(failed.value["b"].asInteger(), 9u);
}

TEST(RequestReader, ABrokenBinaryKeepsWhatArrived) {
    tidewell::testing::TempDir dir;
    std::string target = dir.file("part");
    auto placer = [&](const std::vector<std::string>&, uint64_t, const PObject&) {
        BinaryTarget t;
        t.path = target;
        return t;
    };
    std::string whole = kMap + Str("data") + Bin(std::string(50000, 'y')) + kEnd;
    Result r = Decode(whole.substr(0, 17 + 30000), placer);  // the map, the key and the binary header take 17 bytes
    EXPECT_EQ(r.outcome, ReadOutcome::Broken);
    EXPECT_EQ(tidewell::testing::TempDir::read(target), std::string(30000, 'y'));
    EXPECT_EQ(r.value["data"].asBinary().length, 30000u);
}

}  // namespace
}  // namespace tw_server
