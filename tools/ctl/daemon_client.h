// Reaching a running daemon: the record that "start" keeps of where it
// listens (FILE.state, removed when the daemon exits), and one control
// request on a fresh connection.
#pragma once

#include <string>

#include "value/pobject.h"

namespace ctl {

// Where a running daemon listens, as "start" recorded it.
struct State {
    long daemon_pid = 0;
    long ctl_pid = 0;
    int daemon_port = 0;
    std::string socket_path;
};

// An error line on standard error, "tidewell-ctl: " first.
void fail(const std::string& text);

std::string absolute(const std::string& path);
// The whole file: 1 read, 0 no such file, -1 unreadable (errno set).
int read_file(const std::string& path, std::string& text);
std::string state_path(const std::string& config);
bool write_state(const std::string& path, const State& s);
// 1: read; 0: no state file; -1: unreadable.
int read_state(const std::string& path, State& s);
bool process_alive(long pid);

// A connected socket to the daemon, or -1 with `error` set.
int connect_daemon(const State& s, std::string& error);
// Finds the running daemon of `config`: 0, or 1 after telling why none runs.
int find_daemon(const std::string& config, State& s);
// Sends one request; fills `reply` unless the daemon closes without one.
// 0: replied; 1: closed without reply; -1: failed (told).
int request(const State& s, const std::string& config, const PObject& msg, PObject& reply);
// Waits until the daemon of `config` has exited (its state file gone).
bool wait_until_stopped(const std::string& config, const State& s);

// A request to the running daemon of `config`: 0 and the reply, or 1 after
// telling why there is none.
int call(const std::string& config, const PObject& msg, PObject& reply);

}  // namespace ctl
