// The server's small parts on their own: the command line, fault rules,
// view paths, resume token names and pull conditions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/actions.h"
#include "server/fault_rules.h"
#include "server/server_options.h"
#include "server/server_paths.h"
#include "server/view.h"

namespace tw_server {
namespace {

int Parse(std::vector<std::string> args, ServerOptions& options, std::string& error) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return ParseServerOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(ServerOptions, FullCommandLine) {
    ServerOptions o;
    std::string error;
    ASSERT_EQ(Parse({"--root",
                     "/r",
                     "--listen",
                     "localhost:7000",
                     "--token",
                     "a",
                     "--token",
                     "b",
                     "--view",
                     "3",
                     "--view",
                     "4:ro",
                     "--tls-cert",
                     "c.pem",
                     "--tls-key",
                     "k.pem",
                     "--page-size",
                     "10",
                     "--keep-versions",
                     "0",
                     "--keepalive-seconds",
                     "2",
                     "--no-fsync",
                     "--port-file",
                     "p"},
                    o, error),
              0)
        << error;
    EXPECT_EQ(o.root, "/r");
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 7000);
    EXPECT_EQ(o.tokens, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(o.views.size(), 2u);
    EXPECT_EQ(o.views[0].id, 3u);
    EXPECT_FALSE(o.views[0].read_only);
    EXPECT_EQ(o.views[1].id, 4u);
    EXPECT_TRUE(o.views[1].read_only);
    EXPECT_EQ(o.page_size, 10u);
    EXPECT_EQ(o.keep_versions, 0u);
    EXPECT_EQ(o.keepalive_seconds, 2u);
    EXPECT_FALSE(o.fsync);
    EXPECT_EQ(o.fault_file, "/r/faults");
    EXPECT_EQ(o.port_file, "p");
}

TEST(ServerOptions, Defaults) {
    ServerOptions o;
    std::string error;
    ASSERT_EQ(Parse({"--root", "/r", "--listen", "0.0.0.0:0", "--token", "t"}, o, error), 0) << error;
    ASSERT_EQ(o.views.size(), 1u);
    EXPECT_EQ(o.views[0].id, 1u);
    EXPECT_EQ(o.page_size, 1000u);
    EXPECT_EQ(o.keep_versions, 3u);
    EXPECT_EQ(o.keepalive_seconds, 20u);
    EXPECT_TRUE(o.fsync);
}

TEST(ServerOptions, Refusals) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const std::vector<Case> cases = {
        {{"--listen", "127.0.0.1:1", "--token", "t"}, "--root is required"},
        {{"--root", "/r", "--token", "t"}, "--listen is required"},
        {{"--root", "/r", "--listen", "127.0.0.1:1"}, "at least one --token"},
        {{"--root", "/r", "--listen", "example.com:1", "--token", "t"}, "--listen takes"},
        {{"--root", "/r", "--listen", "127.0.0.1:65536", "--token", "t"}, "--listen takes"},
        {{"--root", "/r", "--listen", "127.0.0.1", "--token", "t"}, "--listen takes"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", ""}, "non-empty token"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", "t", "--view", "0"}, "positive view id"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", "t", "--view", "2", "--view", "2:ro"}, "twice"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", "t", "--page-size", "0"}, "--page-size"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", "t", "--keepalive-seconds", "x"}, "--keepalive"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", "t", "--tls-cert", "c"}, "go together"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token", "t", "--bogus"}, "unknown option --bogus"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token"}, "needs a value"},
        {{"--root", "/r", "--listen", "127.0.0.1:1", "--token-file", "/nonexistent/tokens"}, "cannot read"},
    };
    for (const Case& c : cases) {
        ServerOptions o;
        std::string error;
        EXPECT_EQ(Parse(c.args, o, error), -1) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << "got: " << error;
    }
}

TEST(FaultRules, Parsing) {
    struct Case {
        const char* line;
        bool ok;
        FaultKind kind;
        const char* action;
        const char* detail;  // the problem, when refused
    };
    const std::vector<Case> cases = {
        {"cut-request action=resume_upload after=4096 once", true, FaultKind::CutRequest, "resume_upload", ""},
        {"cut-answer after=0", true, FaultKind::CutAnswer, "", ""},
        {"delay action=* seconds=3", true, FaultKind::Delay, "", ""},
        {"stall action=pull_event silent", true, FaultKind::Stall, "pull_event", ""},
        {"error action=upload path=/a.txt code=16385 always", true, FaultKind::Error, "upload", ""},
        {"refuse-connect once", true, FaultKind::RefuseConnect, "connect", ""},
        {"cut-request", false, FaultKind::CutRequest, "", "needs after=N"},
        {"delay action=x", false, FaultKind::Delay, "", "needs seconds=S"},
        {"error", false, FaultKind::Error, "", "needs code=C"},
        {"error code=-1", false, FaultKind::Error, "", "does not fit"},
        {"delay seconds=3 silent", false, FaultKind::Delay, "", "not KEY=VALUE"},
        {"explode", false, FaultKind::Error, "", "unknown kind"},
    };
    for (const Case& c : cases) {
        FaultRule rule;
        std::string problem;
        EXPECT_EQ(ParseFaultRule(c.line, rule, problem), c.ok) << c.line << ": " << problem;
        if (c.ok) {
            EXPECT_EQ(rule.kind, c.kind) << c.line;
            EXPECT_EQ(rule.action, c.action) << c.line;
        } else {
            EXPECT_NE(problem.find(c.detail), std::string::npos) << c.line << ": " << problem;
        }
    }
    FaultRule rule;
    std::string problem;
    EXPECT_FALSE(ParseFaultRule("   # a comment", rule, problem));
    EXPECT_TRUE(problem.empty());
    EXPECT_FALSE(ParseFaultRule("", rule, problem));
    EXPECT_TRUE(problem.empty());
}

TEST(FaultRules, OnceRulesAreSpentUntilTheFileChanges) {
    char pattern[] = "/tmp/tw-faults-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    std::string text = "error action=upload path=/a code=16385 once\nerror action=upload code=12290\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    FaultInjector faults(pattern);
    faults.Reload();
    std::string a = "/a", b = "/b";
    auto first = faults.Take(FaultKind::Error, "upload", &a);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->code, 16385u);
    auto second = faults.Take(FaultKind::Error, "upload", &a);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->code, 12290u);  // the once rule is spent; the next one matches any path
    EXPECT_FALSE(faults.Take(FaultKind::Error, "remove", &b));
    EXPECT_FALSE(faults.Take(FaultKind::Delay, "upload", &a));
    faults.Reload();  // unchanged: still spent
    EXPECT_EQ(faults.Take(FaultKind::Error, "upload", &a)->code, 12290u);
    unlink(pattern);
    faults.Reload();  // gone: no rules
    EXPECT_FALSE(faults.Take(FaultKind::Error, "upload", &a));
}

TEST(ViewPaths, Refusals) {
    struct Case {
        std::string path;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"/a", true},
        {"/a/b c/ü.txt", true},
        {"/.hidden", true},
        {"/...", true},
        {"", false},
        {"a", false},
        {"/", false},
        {"/a/", false},
        {"//a", false},
        {"/a//b", false},
        {"/./a", false},
        {"/a/.", false},
        {"/../etc/passwd", false},
        {"/a/../b", false},
        {"/a\\b", false},
        {"/..\\..\\windows", false},
        {std::string("/a\0b", 4), false},
        {"/" + std::string(1023, 'x'), true},
        {"/" + std::string(1024, 'x'), false},
        {"/" + std::string(4094, 'x')
                   .replace(1000, 1, "/")
                   .replace(2000, 1, "/")
                   .replace(3000, 1, "/")
                   .replace(4000, 1, "/"),
         true},
        {"/" + std::string(4095, 'x')
                   .replace(1000, 1, "/")
                   .replace(2000, 1, "/")
                   .replace(3000, 1, "/")
                   .replace(4000, 1, "/"),
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ViewPathProblem(c.path, EventPathRoot::Refuse) == nullptr, c.valid) << c.path.substr(0, 40);
    }
    EXPECT_EQ(ViewPathProblem("/", EventPathRoot::Allow), nullptr);
}

TEST(ViewPaths, Algebra) {
    EXPECT_EQ(ParentOf("/a"), "/");
    EXPECT_EQ(ParentOf("/a/b/c"), "/a/b");
    EXPECT_EQ(NameOf("/a/b.txt"), "b.txt");
    EXPECT_EQ(AncestorsOf("/a/b/c"), (std::vector<std::string>{"/a", "/a/b"}));
    EXPECT_TRUE(AncestorsOf("/a").empty());
    EXPECT_TRUE(IsBelow("/a/b", "/a"));
    EXPECT_FALSE(IsBelow("/ab", "/a"));
    EXPECT_FALSE(IsBelow("/a", "/a"));
    EXPECT_TRUE(IsBelow("/a", "/"));
    EXPECT_EQ(RelativeTo("/a/b/c", "/a"), "/b/c");
    EXPECT_EQ(RelativeTo("/a/b", "/"), "/a/b");
}

TEST(ResumeTokens, ViewOfAToken) {
    uint64_t view = 0;
    EXPECT_TRUE(TokenView("12-0123456789abcdef0123456789abcdef", view));
    EXPECT_EQ(view, 12u);
    for (const char* bad : {"", "12", "-0123456789abcdef0123456789abcdef", "12-0123456789ABCDEF0123456789abcdef",
                            "12-0123456789abcdef0123456789abcde", "x2-0123456789abcdef0123456789abcdef",
                            "0-0123456789abcdef0123456789abcdef", "12-../../../../etc/passwd.........."}) {
        EXPECT_FALSE(TokenView(bad, view)) << bad;
    }
}

TEST(PullConditions, Matching) {
    auto file = [](uint64_t size) {
        Entry e;
        e.size = size;
        return e;
    };
    Entry folder;
    folder.is_dir = true;
    struct Case {
        PullCondition::Kind kind;
        std::string text;
        const Entry entry;
        std::string path;
        bool match;
    };
    const std::vector<Case> cases = {
        {PullCondition::Extension, "txt", file(1), "/a/b.TXT", true},
        {PullCondition::Extension, "txt", file(1), "/a/b.txt.gz", false},
        {PullCondition::Extension, "txt", file(1), "/a/.txt", false},
        {PullCondition::Extension, "txt", folder, "/a.txt", false},
        {PullCondition::Extension, "*", file(1), "/noext", true},
        {PullCondition::Prefix, "/Docs", file(1), "/docs/a", true},
        {PullCondition::Prefix, "/Docs", folder, "/docs", true},
        {PullCondition::Prefix, "/Docs", file(1), "/docsx/a", false},
        {PullCondition::Name, "Thumbs.db", file(1), "/x/thumbs.db", true},
        {PullCondition::Name, "Thumbs.db", file(1), "/thumbs.db/x", false},
    };
    for (const Case& c : cases) {
        PullCondition condition;
        condition.kind = c.kind;
        condition.text = c.text;
        EXPECT_EQ(condition.Matches(c.entry, c.path), c.match) << c.text << " " << c.path;
    }
    PullCondition size;
    size.kind = PullCondition::Size;
    size.min_size = 10;
    size.max_size = 20;
    EXPECT_FALSE(size.Matches(file(9), "/a"));
    EXPECT_TRUE(size.Matches(file(10), "/a"));
    EXPECT_TRUE(size.Matches(file(20), "/a"));
    EXPECT_FALSE(size.Matches(file(21), "/a"));
    EXPECT_FALSE(size.Matches(folder, "/a"));
}

}  // namespace
}  // namespace tw_server
