#include "daemon/request_watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/abort_flag.h"

namespace {

using namespace std::chrono;

// Waits up to `bound` for the flag to be set.
bool set_within(int* flag, milliseconds bound) {
    auto end = steady_clock::now() + bound;
    while (!AbortRequested(flag)) {
        if (steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

TEST(RequestWatchdogTest, ARequestWhoseTimeIsUpIsAborted) {
    RequestWatchdog watchdog(-1);
    ASSERT_EQ(watchdog.Start(), 0);
    int flag = 0;
    watchdog.Arm(&flag, milliseconds(200));
    EXPECT_TRUE(set_within(&flag, seconds(20)));

    // Arming again replaces the request watched before.
    int first = 0;
    int second = 0;
    watchdog.Arm(&first, hours(1));
    watchdog.Arm(&second, milliseconds(100));
    EXPECT_TRUE(set_within(&second, seconds(20)));
    EXPECT_FALSE(AbortRequested(&first));
}

TEST(RequestWatchdogTest, AStopAbortsTheRequestAtOnceAndEveryLaterOne) {
    Pipe stop;
    RequestWatchdog watchdog(stop.fd[0]);
    ASSERT_EQ(watchdog.Start(), 0);
    int flag = 0;
    watchdog.Arm(&flag, hours(1));
    ASSERT_EQ(write(stop.fd[1], "x", 1), 1);
    EXPECT_TRUE(set_within(&flag, seconds(20)));
    watchdog.Disarm();

    int later = 0;
    watchdog.Arm(&later, hours(1));
    EXPECT_TRUE(AbortRequested(&later)) << "a stop already seen ends a new request before it starts";
}

TEST(RequestWatchdogTest, ARequestDisarmedInTimeIsLeftAlone) {
    RequestWatchdog watchdog(-1);
    ASSERT_EQ(watchdog.Start(), 0);
    int flag = 0;
    watchdog.Arm(&flag, milliseconds(300));
    watchdog.Disarm();
    EXPECT_FALSE(set_within(&flag, milliseconds(1300)));
}

}  // namespace
