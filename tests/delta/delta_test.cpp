#include "delta/delta_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "delta/md4.h"
#include "delta_test_util.h"

using namespace tidewell::testing;

namespace {

struct Fixture {
    TempDir dir;
    std::string basis_path, sig_path, new_path, delta_path;

    // Signs `basis`, makes the delta of `updated` and parses it.
    std::vector<DeltaCmd> delta(const std::string& basis, const std::string& updated, uint32_t bs = 2048) {
        basis_path = dir.write("basis", basis);
        sig_path = dir.file("sig");
        new_path = dir.write("new", updated);
        delta_path = dir.file("delta");
        EXPECT_EQ(make_signature(basis_path, sig_path, bs, 8), 0);
        EXPECT_EQ(make_delta(sig_path, new_path, delta_path), 0);
        std::vector<DeltaCmd> cmds;
        EXPECT_TRUE(parse_delta(TempDir::read(delta_path), cmds));
        return cmds;
    }

    // The delta applied to the basis gives the new file.
    void expect_roundtrip(const std::string& updated) {
        std::string out = dir.file("out");
        bool complete = false;
        ASSERT_EQ(apply_patch(basis_path, delta_path, out, &complete), 0);
        EXPECT_TRUE(complete);
        EXPECT_TRUE(TempDir::read(out) == updated);
    }
};

DeltaCmd copy(uint64_t offset, uint64_t length) {
    return {DeltaCmd::COPY, offset, length, {}};
}
DeltaCmd literal(const std::string& data) {
    return {DeltaCmd::LITERAL, 0, data.size(), data};
}

TEST(Delta, EmptyFileGivesMagicAndEnd) {
    Fixture f;
    f.delta(random_bytes(5000, 1), "");
    EXPECT_EQ(TempDir::read(f.delta_path), std::string("rs\x02\x36\x00", 5));
}

TEST(Delta, FileShorterThanABlockIsOneLiteral) {
    Fixture f;
    std::string basis = random_bytes(5000, 1);
    std::string updated = basis.substr(0, 2047);  // even a prefix of the basis
    EXPECT_EQ(f.delta(basis, updated), std::vector<DeltaCmd>{literal(updated)});
    f.expect_roundtrip(updated);
}

TEST(Delta, IdenticalFileIsOneCopyAndTheTail) {
    Fixture f;
    std::string basis = random_bytes(3 * 2048 + 100, 2);
    EXPECT_EQ(f.delta(basis, basis), (std::vector<DeltaCmd>{copy(0, 3 * 2048), literal(basis.substr(3 * 2048))}));
    f.expect_roundtrip(basis);

    std::string whole = random_bytes(4 * 2048, 3);
    EXPECT_EQ(f.delta(whole, whole), std::vector<DeltaCmd>{copy(0, 4 * 2048)});
}

TEST(Delta, InsertionIsFoundAgainByRolling) {
    Fixture f;
    std::string basis = random_bytes(100 * 2048, 4);
    std::string inserted = "0123456789";
    std::string updated = basis.substr(0, 5000) + inserted + basis.substr(5000);
    auto cmds = f.delta(basis, updated);
    // Blocks 0 and 1, then block 2 with the insertion as a literal, then the rest.
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], copy(0, 2 * 2048));
    EXPECT_EQ(cmds[1], literal(updated.substr(4096, 2048 + inserted.size())));
    EXPECT_EQ(cmds[2], copy(3 * 2048, 97 * 2048));
    f.expect_roundtrip(updated);
}

TEST(Delta, EditsRoundTrip) {
    std::string basis = random_bytes(300000, 5);
    std::string scattered = basis;
    for (size_t i = 1000; i < scattered.size(); i += 17000) scattered[i] ^= 0x55;
    std::string repeated;
    std::string block = random_bytes(2048, 6);
    for (int i = 0; i < 40; ++i) repeated += block;
    struct Case {
        const char* name;
        std::string basis, updated;
    } cases[] = {
        {"deletion", basis, basis.substr(0, 100000) + basis.substr(100333)},
        {"append", basis, basis + random_bytes(5000, 7)},
        {"prepend", basis, "x" + basis},
        {"scattered", basis, scattered},
        {"unrelated", basis, random_bytes(100000, 8)},
        {"moved blocks", basis, basis.substr(200000) + basis.substr(0, 200000)},
        {"repeated block", repeated, repeated.substr(0, 30000) + "!" + repeated.substr(30000)},
        {"empty basis", "", basis},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        auto cmds = f.delta(c.basis, c.updated);
        f.expect_roundtrip(c.updated);
        size_t literal_bytes = 0;
        for (auto& cmd : cmds) literal_bytes += cmd.kind == DeltaCmd::LITERAL ? cmd.length : 0;
        if (std::string(c.name) != "unrelated" && std::string(c.name) != "empty basis") {
            EXPECT_LT(literal_bytes, c.updated.size() / 5);
        }
    }
}

// Runs the handler directly with the given chunk size.
std::vector<DeltaCmd> delta_in_chunks(Fixture& f, const std::string& data, size_t chunk) {
    DeltaHandler h(f.delta_path.c_str(), f.sig_path.c_str());
    EXPECT_EQ(h.begin(), 0);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
        EXPECT_EQ(h.update(p + pos, std::min(chunk, data.size() - pos)), 0);
        EXPECT_EQ(h.wait(), 0);
    }
    EXPECT_EQ(h.end(), 0);
    std::vector<DeltaCmd> cmds;
    EXPECT_TRUE(parse_delta(TempDir::read(f.delta_path), cmds));
    return cmds;
}

TEST(Delta, ChunkBoundariesDoNotChangeTheMatches) {
    Fixture f;
    std::string basis = random_bytes(40 * 2048, 9);
    std::string updated = basis.substr(0, 10000) + "inserted" + basis.substr(10000, 30000) + basis.substr(45000);
    updated[70000] ^= 1;
    auto whole = f.delta(basis, updated);
    auto copies_of = [](const std::vector<DeltaCmd>& cmds) {
        std::vector<DeltaCmd> copies;
        std::string literals;
        for (auto& c : cmds) {
            if (c.kind == DeltaCmd::COPY)
                copies.push_back(c);
            else
                literals += c.data;
        }
        return std::make_pair(copies, literals);
    };
    for (size_t chunk : {1, 3, 1000, 2047, 2048, 2049, 5000, 1 << 20}) {
        SCOPED_TRACE(chunk);
        auto cmds = delta_in_chunks(f, updated, chunk);
        EXPECT_EQ(copies_of(cmds), copies_of(whole));
        f.expect_roundtrip(updated);
    }
}

TEST(Delta, LiteralSpanningAChunkEndIsTwoCommands) {
    Fixture f;
    std::string updated = random_bytes(10000, 10);
    f.delta(random_bytes(10000, 11), updated);
    // Each chunk emits its literal up to the last incomplete window; the
    // bytes held back go out with the next chunk or at the end.
    auto cmds = delta_in_chunks(f, updated, 6000);
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], literal(updated.substr(0, 6000 - 2047)));
    EXPECT_EQ(cmds[1], literal(updated.substr(6000 - 2047, 4000)));
    EXPECT_EQ(cmds[2], literal(updated.substr(10000 - 2047)));
}

TEST(Delta, TrailingIncompleteSignatureEntryIsIgnored) {
    Fixture f;
    std::string basis = random_bytes(10 * 2048, 12);
    f.delta(basis, basis);
    std::string sig = TempDir::read(f.sig_path);
    f.dir.write("sig", sig.substr(0, sig.size() - 5));  // the last entry loses 5 of its 12 bytes
    ASSERT_EQ(make_delta(f.sig_path, f.new_path, f.delta_path), 0);
    std::vector<DeltaCmd> cmds;
    ASSERT_TRUE(parse_delta(TempDir::read(f.delta_path), cmds));
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds[0], copy(0, 9 * 2048));
    std::string literals;
    for (size_t i = 1; i < cmds.size(); ++i) literals += cmds[i].data;
    EXPECT_TRUE(literals == basis.substr(9 * 2048));
}

TEST(Delta, MalformedSignaturesAreRejected) {
    auto header = [](uint32_t magic, uint32_t bs, uint32_t hs) {
        std::string s;
        for (uint32_t v : {magic, bs, hs})
            for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (24 - 8 * i));
        return s;
    };
    struct Case {
        const char* name;
        std::string sig;
        const char* message;
    } cases[] = {
        {"bad magic", header(0x72730236, 2048, 8), "invalid signature header"},
        {"truncated header", header(0x72730136, 2048, 8).substr(0, 7), "invalid signature header"},
        {"empty", "", "invalid signature header"},
        {"block size 0", header(0x72730136, 0, 8), "invalid signature block size"},
        {"hash size 0", header(0x72730136, 2048, 0), "invalid signature hash size"},
        {"hash size 17", header(0x72730136, 2048, 17), "invalid signature hash size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string sig = dir.write("sig", c.sig);
        std::string in = dir.write("in", "some data");
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(make_delta(sig, in, dir.file("delta")), FileReader::ERROR_HANDLER_CALL);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    TempDir dir;
    std::string in = dir.write("in", "x");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(make_delta(dir.file("missing-sig"), in, dir.file("delta")), FileReader::ERROR_HANDLER_CALL);
    ::testing::internal::GetCapturedStderr();
}

TEST(Reader, OnePassGivesCopyHashSignatureAndDelta) {
    TempDir dir;
    std::string old_data = random_bytes(50000, 13);
    std::string data = old_data.substr(0, 20000) + "changed" + old_data.substr(20000);
    std::string old_path = dir.write("old", old_data);
    ASSERT_EQ(make_signature(old_path, dir.file("old.sig")), 0);
    std::string in = dir.write("in", data);

    ustring hash;
    SimpleFileReader r;
    r.setFile(in.c_str());
    r.setCopyFile(dir.file("copy").c_str());
    r.setHashString(hash);
    r.setSignature(dir.file("sig").c_str(), 2048, 8);
    r.setDelta(dir.file("delta").c_str(), dir.file("old.sig").c_str());
    ASSERT_EQ(r.readFile(), 0);

    uint8_t digest[16];
    Md4::digest(data.data(), data.size(), digest);
    EXPECT_EQ(hash, Md4::toHex(digest));
    EXPECT_EQ(hash.length(), 32u);
    EXPECT_TRUE(TempDir::read(dir.file("copy")) == data);
    ASSERT_EQ(make_signature(in, dir.file("sig2")), 0);
    EXPECT_TRUE(TempDir::read(dir.file("sig")) == TempDir::read(dir.file("sig2")));
    ASSERT_EQ(apply_patch(old_path, dir.file("delta"), dir.file("out")), 0);
    EXPECT_TRUE(TempDir::read(dir.file("out")) == data);
}

TEST(Reader, KnownDigests) {
    TempDir dir;
    struct Case {
        std::string data;
        const char* md4;  // RFC 1320 test suite
    } cases[] = {{"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
                 {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
                 {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                  "e33b4ddc9c38f2199c3e7b164fcc0536"}};
    for (const Case& c : cases) {
        ustring hash;
        SimpleFileReader r;
        r.setFile(dir.write("in", c.data).c_str());
        r.setHashString(hash);
        ASSERT_EQ(r.readFile(), 0);
        EXPECT_EQ(hash, c.md4);
    }
}

TEST(Reader, ArgumentSystemAndAbortErrors) {
    TempDir dir;
    ::testing::internal::CaptureStderr();
    {
        SimpleFileReader r;
        EXPECT_EQ(r.readFile(), FileReader::ERROR_ARGUMENT);
    }
    {
        SimpleFileReader r;
        r.setFile(dir.file("missing").c_str());
        EXPECT_EQ(r.readFile(), FileReader::ERROR_SYSTEM_CALL);
    }
    {
        SimpleFileReader r;
        r.setFile(dir.write("in", "data").c_str());
        r.setCopyFile(dir.file("no/such/dir/copy").c_str());
        EXPECT_EQ(r.readFile(), FileReader::ERROR_HANDLER_CALL);
    }
    ::testing::internal::GetCapturedStderr();
    int abort_flag = 1;
    SimpleFileReader r;
    r.setAbortFlag(&abort_flag);
    r.setFile(dir.write("in", "data").c_str());
    r.setCopyFile(dir.file("copy").c_str());
    EXPECT_EQ(r.readFile(), FileReader::ERROR_ABORT);
}

TEST(Reader, FullDiskIsAHandlerFailure) {
    TempDir dir;
    fd_t probe;
    if (fd_open_write("/dev/full", probe) != 0) GTEST_SKIP() << "/dev/full is not available";
    fd_close(probe);
    SimpleFileReader r;
    r.setFile(dir.write("in", random_bytes(10000, 1)).c_str());
    r.setCopyFile("/dev/full");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(r.readFile(), FileReader::ERROR_HANDLER_CALL);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("disk full"), std::string::npos);
}

// The delta's last literal and end command are written when the handlers
// end; failing to write them must not pass for success.
TEST(Reader, FailureWhileEndingIsReported) {
    TempDir dir;
    std::string old_path = dir.write("old", random_bytes(5000, 1));
    ASSERT_EQ(make_signature(old_path, dir.file("sig")), 0);
    std::string in = dir.write("in", random_bytes(1000, 2));  // shorter than a block: all output at the end

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 4;  // room for the magic only
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    ::testing::internal::CaptureStderr();
    int rc = make_delta(dir.file("sig"), in, dir.file("delta"));
    ::testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(rc, FileReader::ERROR_HANDLER_CALL);
}

}  // namespace
