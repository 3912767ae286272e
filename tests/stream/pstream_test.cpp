#include "stream/pstream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/logger.h"
#include "stream_helpers.h"
#include "support/temp_dir.h"

namespace {

using tidewell::testing::Decode;
using tidewell::testing::Encode;
using tidewell::testing::SocketPair;
using tidewell::testing::TempDir;
using tidewell::testing::WriteAll;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

PObject Int(uint64_t v) {
    return PObject(v);
}

PObject Binary(uint64_t offset, uint64_t length, const std::string& path) {
    PObject x;
    x = PObject::binary_type{offset, length, ustring(path)};
    return x;
}

size_t CountFiles(const std::filesystem::path& dir) {
    size_t n = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
    return n;
}

TEST(PStreamEncoding, ExamplesOnTheWire) {
    PObject port;
    port["daemon_port"] = 1025;
    PObject empty_array;
    empty_array.asArray();
    PObject empty_map;
    empty_map.asMap();
    PObject underscore;
    underscore["name"] = "n";
    underscore["_action"] = "a";
    PObject nested;
    nested.asArray().push_back(PObject());
    nested.asArray().push_back(Int(7));

    struct Case {
        const char* name;
        PObject value;
        std::string bytes;
    } cases[] = {
        {"map", port, B({0x42, 0x10, 0x00, 0x0B}) + "daemon_port" + B({0x01, 0x02, 0x04, 0x01, 0x40})},
        {"null", PObject(), B({0x00, 0x00})},
        {"empty array", empty_array, B({0x41, 0x40})},
        {"empty map", empty_map, B({0x42, 0x40})},
        {"empty string", PObject(""), B({0x10, 0x00, 0x00})},
        {"string", PObject("hi"), B({0x10, 0x00, 0x02, 'h', 'i'})},
        {"0", Int(0), B({0x01, 0x01, 0x00})},
        {"255", Int(255), B({0x01, 0x01, 0xFF})},
        {"256", Int(256), B({0x01, 0x02, 0x01, 0x00})},
        {"65536", Int(65536), B({0x01, 0x04, 0x00, 0x01, 0x00, 0x00})},
        {"2^32", Int(uint64_t{1} << 32), B({0x01, 0x08, 0, 0, 0, 1, 0, 0, 0, 0})},
        {"underscore key first", underscore,
         B({0x42, 0x10, 0x00, 0x06}) + "action" + B({0x10, 0x00, 0x01, 'a', 0x10, 0x00, 0x04}) + "name" +
             B({0x10, 0x00, 0x01, 'n', 0x40})},
        {"array", nested, B({0x41, 0x00, 0x00, 0x01, 0x01, 0x07, 0x40})},
        {"empty binary", Binary(0, 0, ""), B({0x30, 0, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (const Case& c : cases) {
        int ret = 1;
        EXPECT_EQ(Encode(c.value, &ret), c.bytes) << c.name;
        EXPECT_EQ(ret, 0) << c.name;
    }
}

TEST(PStreamEncoding, UnderscoreIsDroppedAndNotRestored) {
    PObject x;
    x["_action"] = "stop";
    x["name"] = "n";
    PObject back;
    ASSERT_EQ(Decode(Encode(x), back), 0);
    EXPECT_EQ(back.toString().str(), "{\"action\": \"stop\", \"name\": \"n\"}");
}

TEST(PStreamEncoding, StringsAboveTheLimitAreRefusedBeforeAnyByte) {
    PObject longest(ustring(std::string(65535, 'x')));
    int ret = 1;
    EXPECT_EQ(Encode(longest, &ret).size(), 3u + 65535u);
    EXPECT_EQ(ret, 0);

    PObject msg;
    msg["ok"] = 1;
    msg["text"] = ustring(std::string(65536, 'x'));
    std::string bytes = Encode(msg, &ret);
    EXPECT_EQ(ret, PStream::ERR_SYS);
    // The map and the member before went out; not one byte of the string.
    EXPECT_EQ(bytes, B({0x42, 0x10, 0x00, 0x02}) + "ok" + B({0x01, 0x01, 0x01, 0x10, 0x00, 0x04}) + "text");

    PObject long_key;
    long_key[ustring(std::string(70000, 'k'))] = 1;
    EXPECT_EQ(Encode(long_key, &ret), B({0x42}));
    EXPECT_EQ(ret, PStream::ERR_SYS);
}

TEST(PStreamDecoding, ValuesAndMalformedInput) {
    struct Case {
        const char* name;
        std::string bytes;
        int result;
        const char* text;  // toString of the value received, when it succeeds
    } cases[] = {
        {"3-byte integer", B({0x01, 0x03, 0x01, 0x02, 0x03}), 0, "66051"},
        {"0-byte integer", B({0x01, 0x00}), 0, "0"},
        {"8-byte integer", B({0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0, "18446744073709551615"},
        {"integer of 9 bytes", B({0x01, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}), PStream::ERR_STREAM, nullptr},
        {"string cut at zero", B({0x10, 0x00, 0x05, 'a', 'b', 0, 'c', 'd'}), 0, "\"ab\""},
        {"nested", B({0x42, 0x10, 0x00, 0x01, 'a', 0x41, 0x00, 0x00, 0x41, 0x40, 0x40, 0x40}), 0,
         "{\"a\": [null, []]}"},
        {"null with length 1", B({0x00, 0x01}), PStream::ERR_STREAM, nullptr},
        {"end tag alone", B({0x40}), PStream::ERR_STREAM, nullptr},
        {"unknown tag", B({0x20, 0x00}), PStream::ERR_STREAM, nullptr},
        {"key that is no string", B({0x42, 0x01, 0x01, 0x05, 0x00, 0x00, 0x40}), PStream::ERR_STREAM, nullptr},
        {"cut inside a string", B({0x10, 0x00, 0x05, 'a', 'b'}), PStream::ERR_IO, nullptr},
        {"unterminated array", B({0x41, 0x00, 0x00}), PStream::ERR_IO, nullptr},
        {"nothing at all", "", PStream::ERR_IO, nullptr},
    };
    for (const Case& c : cases) {
        PObject x;
        EXPECT_EQ(Decode(c.bytes, x), c.result) << c.name;
        if (c.text) {
            EXPECT_EQ(x.toString().str(), c.text) << c.name;
        }
    }
}

TEST(PStreamDecoding, ErrorStackNamesTheMemberThatBroke) {
    TempDir dir;
    std::string log = dir.file("log");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, ustring(log), "", 2), 0);
    PObject x;
    std::string bytes =
        B({0x42, 0x10, 0x00, 0x05}) + "outer" + B({0x42, 0x10, 0x00, 0x05}) + "inner" + B({0x42, 0x01, 0x01, 0x01});
    EXPECT_EQ(Decode(bytes, x), PStream::ERR_STREAM);
    Logger::Destroy();
    std::string text = TempDir::read(log);
    EXPECT_NE(text.find("PStream: expect string, but get tag 1"), std::string::npos) << text;
    EXPECT_NE(text.find("Error stack: outer.inner"), std::string::npos) << text;
    // The value is kept as far as it came.
    EXPECT_TRUE(x["outer"]["inner"].isMap());
}

TEST(PStreamDecoding, NestingIsLimitedTo64Levels) {
    auto nested = [](int levels) { return std::string(levels, '\x41') + std::string(levels, '\x40'); };
    PObject x;
    ASSERT_EQ(Decode(nested(64), x), 0);
    const PObject* p = &x;
    int depth = 0;
    while (p->isArray()) {
        ++depth;
        p = &(*static_cast<const PObject*>(p))[size_t{0}];
    }
    EXPECT_EQ(depth, 64);

    PObject y;
    EXPECT_EQ(Decode(nested(65), y), PStream::ERR_STREAM);
    // A deep hostile message ends long before the stack does.
    PObject z;
    EXPECT_EQ(Decode(std::string(1000000, '\x42'), z), PStream::ERR_STREAM);
}

TEST(PStreamDecoding, MoreThanTenMillionValuesEndTheReceive) {
    // An array of 10,000,000 nulls is 10,000,001 values in all.
    std::string bytes = B({0x41});
    bytes.reserve(20000002);
    for (int i = 0; i < 10000000; ++i) bytes += B({0x00, 0x00});
    bytes += B({0x40});
    PObject x;
    EXPECT_EQ(Decode(bytes, x), PStream::ERR_STREAM);
    // 9,999,999 nulls, and the element that was to be the last one.
    EXPECT_EQ(x.asArray().size(), 10000000u);
}

TEST(PStreamDecoding, TighterLimitsOfOneStream) {
    PStream::Limits limits;
    limits.max_depth = 2;
    limits.max_values = 5;
    limits.max_text_bytes = 10;
    struct Case {
        const char* name;
        std::string bytes;
        int result;
    } cases[] = {
        {"within every limit", B({0x42, 0x10, 0x00, 0x01, 'k', 0x41, 0x10, 0x00, 0x04}) + "abcd" + B({0x40, 0x40}), 0},
        {"three levels", B({0x41, 0x41, 0x41, 0x40, 0x40, 0x40}), PStream::ERR_STREAM},
        {"six values", B({0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40}),
         PStream::ERR_STREAM},
        {"eleven bytes of text in one string", B({0x10, 0x00, 0x0B}) + "abcdefghijk", PStream::ERR_STREAM},
        {"eleven bytes of text in a key and a string",
         B({0x42, 0x10, 0x00, 0x05}) + "key01" + B({0x10, 0x00, 0x06}) + "value1" + B({0x40}), PStream::ERR_STREAM},
    };
    PStream stream;
    stream.SetLimits(limits);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PObject x;
        EXPECT_EQ(Decode(c.bytes, x, stream), c.result);
    }
    // Each message starts afresh: five values again, and again.
    for (int i = 0; i < 3; ++i) {
        PObject x;
        EXPECT_EQ(Decode(B({0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40}), x, stream), 0);
    }
}

TEST(PStreamDecoding, ReceivingIntoAnExistingValueAppendsAndMerges) {
    PObject list;
    list.asArray().push_back(Int(1));
    list.asArray().push_back(Int(2));
    PObject more;
    more.asArray().push_back(Int(3));
    ASSERT_EQ(Decode(Encode(more), list), 0);
    EXPECT_EQ(list.toString().str(), "[1, 2, 3]");

    PObject map;
    map["keep"] = "old";
    map["over"] = "old";
    map["sub"]["a"] = 1;
    PObject update;
    update["over"] = "new";
    update["sub"]["b"] = 2;
    ASSERT_EQ(Decode(Encode(update), map), 0);
    EXPECT_EQ(map.toString().str(), "{\"keep\": \"old\", \"over\": \"new\", \"sub\": {\"a\": 1, \"b\": 2}}");

    PObject text("was a string");
    ASSERT_EQ(Decode(Encode(more), text), 0);  // another type is replaced
    EXPECT_EQ(text.toString().str(), "[3]");
}

class PStreamBinary : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(PStreamBinary, SendsAFileRangeAndReceivesIntoTheDefaultLocation) {
    std::string src = dir.write("src", "0123456789abcdefghij");
    std::filesystem::create_directory(dir.path() / "in");
    PObject msg;
    msg["file"] = Binary(5, 10, src);
    std::string bytes = Encode(msg);
    EXPECT_EQ(bytes,
              B({0x42, 0x10, 0x00, 0x04}) + "file" + B({0x30, 0, 0, 0, 0, 0, 0, 0, 10}) + "56789abcde" + B({0x40}));

    PStream stream;
    stream.SetDefaultRecvLocation(ustring(dir.file("in")));
    PObject got;
    ASSERT_EQ(Decode(bytes, got, stream), 0);
    const PObject::binary_type& b = got["file"].asBinary();
    EXPECT_EQ(b.offset, 10u);
    EXPECT_EQ(b.length, 10u);
    EXPECT_EQ(b.path.substr(0, dir.file("in/").size()).str(), dir.file("in/"));
    EXPECT_EQ(TempDir::read(b.path.str()), "56789abcde");
}

TEST_F(PStreamBinary, BinaryWithNowhereToGoIsRefusedAndLeavesNoFile) {
    std::string src = dir.write("src", "payload");
    std::string bytes = Encode(Binary(0, 7, src));
    auto before = CountFiles(std::filesystem::current_path());
    PObject got;
    EXPECT_EQ(Decode(bytes, got), PStream::ERR_STREAM);
    EXPECT_TRUE(got.asBinary().path.empty());
    EXPECT_EQ(CountFiles(std::filesystem::current_path()), before);
    EXPECT_EQ(CountFiles(dir.path()), 1u);
}

TEST_F(PStreamBinary, ShortFileFailsAfterItsBytes) {
    std::string src = dir.write("src", "abc");
    int ret = 0;
    std::string bytes = Encode(Binary(0, 5, src), &ret);
    EXPECT_EQ(ret, PStream::ERR_STREAM);
    EXPECT_EQ(bytes, B({0x30, 0, 0, 0, 0, 0, 0, 0, 5}) + "abc");

    EXPECT_EQ(Encode(Binary(0, 5, dir.file("missing")), &ret), B({0x30, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(ret, PStream::ERR_SYS);
}

TEST_F(PStreamBinary, ReceivingIntoANamedFileResumesAtItsOffset) {
    std::string ten = B({0x30, 0, 0, 0, 0, 0, 0, 0, 10}) + "KLMNOPQRST";
    std::string hundred(100, '.');
    struct Case {
        uint64_t offset, length;
        size_t size;
        std::string head;  // what stays of the old file
    } cases[] = {
        {40, 100, 50, hundred.substr(0, 40)},  // cut back to the offset, then appended
        {100, 100, 110, hundred},              // appended
        {0, 100, 10, ""},                      // rewritten
    };
    for (const Case& c : cases) {
        std::string path = dir.write("named", hundred);
        PObject x = Binary(c.offset, c.length, path);
        ASSERT_EQ(Decode(ten, x), 0) << c.offset;
        EXPECT_EQ(x.asBinary().offset, c.size);
        EXPECT_EQ(x.asBinary().length, c.size);
        EXPECT_EQ(TempDir::read(path), c.head + "KLMNOPQRST");
    }
}

TEST_F(PStreamBinary, BrokenTransferRecordsWhatIsStoredAndCanBeResumed) {
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    std::string src = dir.write("src", data);
    std::string full = Encode(Binary(0, data.size(), src));
    std::string path = dir.file("dst");
    PObject x = Binary(0, 0, path);

    // The sender goes away after 123457 bytes of the body.
    EXPECT_EQ(Decode(full.substr(0, 9 + 123457), x), PStream::ERR_IO);
    EXPECT_EQ(x.asBinary().offset, 123457u);
    EXPECT_EQ(x.asBinary().length, 123457u);
    EXPECT_EQ(TempDir::read(path), data.substr(0, 123457));

    // The rest, asked for from where it broke.
    std::string rest = Encode(Binary(123457, data.size() - 123457, src));
    ASSERT_EQ(Decode(rest, x), 0);
    EXPECT_EQ(x.asBinary().length, data.size());
    EXPECT_TRUE(TempDir::read(path) == data);
}

TEST_F(PStreamBinary, StatusIsVisibleFromAnotherThreadDuringATransfer) {
    std::string head = B({0x42, 0x10, 0x00, 0x04}) + "data" + B({0x42, 0x10, 0x00, 0x04}) + "blob" +
                       B({0x30, 0, 0, 0, 0, 0, 0x03, 0x0D, 0x40});  // 200000 bytes
    SocketPair pair;
    PStream stream;
    std::atomic<bool> seen{false};
    ustring item;
    uint64_t sent = 0, size = 0;
    std::thread peer([&] {
        // One piece of the body, then a pause until the receiver shows it.
        WriteAll(pair.fd[1], head + std::string(PStream::kPieceSize, 'x'));
        for (int i = 0; i < 500 && !seen; ++i) {
            stream.GetStatus(item, sent, size);
            if (sent == PStream::kPieceSize) seen = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        WriteAll(pair.fd[1], std::string(200000 - PStream::kPieceSize, 'y') + B({0x40, 0x40}));
    });
    Channel ch;
    ch.Open(pair.Release(0), true);
    PObject x;
    x["data"]["blob"] = Binary(0, 0, dir.file("blob"));
    EXPECT_EQ(stream.Recv(ch, x), 0);
    peer.join();
    EXPECT_TRUE(seen);
    EXPECT_EQ(item.str(), "data.blob");
    EXPECT_EQ(size, 200000u);
    EXPECT_EQ(x["data"]["blob"].asBinary().length, 200000u);
    stream.GetStatus(item, sent, size);  // cleared at the end
    EXPECT_TRUE(item.empty());
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(PStreamBinary, NoSpaceLeftIsReportedAsDiskFull) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    std::string bytes = B({0x30, 0, 0, 0, 0, 0, 0, 0, 4}) + "data";
    PObject x = Binary(0, 0, "/dev/full");
    EXPECT_EQ(Decode(bytes, x), PStream::ERR_DISKFULL);
    EXPECT_EQ(x.asBinary().length, 0u);
}

TEST_F(PStreamBinary, TraceLinesAtDebugLevel) {
    std::string log = dir.file("log");
    std::string levels = dir.write("levels", "stream=7\n");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, ustring(log), ustring(levels), 2), 0);
    PObject msg;
    msg["list"].asArray().push_back(Int(42));
    msg["name"] = "n";
    PObject back;
    back["list"];
    std::string bytes = Encode(msg);
    EXPECT_EQ(Decode(bytes, back), 0);
    Logger::Destroy();
    std::string text = TempDir::read(log);
    EXPECT_NE(text.find(" {\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    42\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  \"n\"\n"), std::string::npos) << text;
    EXPECT_EQ(back.toString().str(), "{\"list\": [42], \"name\": \"n\"}");
}

TEST(PStreamMisc, VersionAndTags) {
    int major = 0, minor = 9, mini = 9;
    PStream::GetVersion(major, minor, mini);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(mini, 0);
    EXPECT_EQ(PStream::GetTag<ustring>(), 0x10);
    EXPECT_EQ(PStream::GetTag<uint64_t>(), 0x01);
    EXPECT_EQ(PStream::GetTag<PObject::binary_type>(), 0x30);
    EXPECT_EQ(PStream::GetTag<PObject::map>(), 0x42);
    EXPECT_EQ(PStream::GetTag<PObject::vector>(), 0x41);
    EXPECT_EQ(PStream::GetType<PObject::map>(), PObject::TYPE_MAP);
}

}  // namespace
