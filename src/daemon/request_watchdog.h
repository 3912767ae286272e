// Ends a control request that takes too long, or that is in progress when a
// stop is asked for: it sets the request's abort flag (which the request's
// channel watches) once the request's time is up, or as soon as the stop
// descriptor becomes readable. One thread, armed for one request at a time.
//
// Thread safety: Arm and Disarm are called from the control loop's thread;
// the watchdog's own thread sets the flag. m_lock guards the armed flag, its
// deadline and whether a stop was seen (a leaf lock); the flag is set only
// under it, so once Disarm() has returned the watchdog never touches that
// flag again and it may go out of scope.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>

class RequestWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    // `stop_fd` becomes readable (and stays so) once a stop is asked for; -1
    // when there is none to watch.
    explicit RequestWatchdog(int stop_fd);
    // Ends the watchdog's thread.
    ~RequestWatchdog();
    RequestWatchdog(const RequestWatchdog&) = delete;
    RequestWatchdog& operator=(const RequestWatchdog&) = delete;

    // Starts the thread: 0, or -1 when it cannot be started (then Arm only
    // ever sets the flag for a stop that was already seen).
    int Start();

    // Watches `flag` for one request: it is set (SetAbortFlag) when `limit`
    // has passed from now, or at once when a stop is or has been asked for,
    // unless Disarm() comes first. Replaces what was armed before.
    void Arm(int* flag, Clock::duration limit);
    void Disarm();

private:
    void Watch();
    void Wake();

    const int m_stop_fd;
    int m_wake[2] = {-1, -1};  // a pipe that interrupts the thread's wait
    std::thread m_thread;

    std::mutex m_lock;  // guards everything below
    int* m_flag = nullptr;
    Clock::time_point m_deadline;
    bool m_stop_seen = false;
    bool m_quit = false;
};
