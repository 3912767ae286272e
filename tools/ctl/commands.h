// The commands of tidewell-ctl, one function each; every one returns the
// process's exit status (0 done, 1 failed and told, 2 bad usage).
#pragma once

#include <string>

#include "options.h"
#include "setup_state.h"
#include "value/pobject.h"

namespace ctl {

int CmdInit(const Options& o);
int CmdStart(const Options& o);
// "link", "unlink", "stop" and "send": the daemon's reply as JSON.
int CmdSend(const Options& o, const PObject& msg);
int CmdConnection(const Options& o);
int CmdSession(const Options& o);
int CmdEvent(const Options& o);
int CmdStatus(const Options& o);
int CmdSync(const Options& o);

// Shared by the commands.
int UsageError(const std::string& text);
// A positive decimal id: false (told) otherwise.
bool ParseId(const std::string& text, const char* what, uint64_t& id);
// "yes" or "no".
bool ParseYesNo(const std::string& text, const char* option, bool& value);
// The setup of o.config: false after telling why it cannot be read.
bool LoadSetup(const Options& o, SavedSetup& setup);
// Saves the setup after the daemon took a change: 0, or 1 after telling.
int SaveSetup(const SavedSetup& setup);
// The daemon's reply: with "error", told on standard error (and printed as
// JSON with --json) and 1; otherwise `done` (or the reply as JSON) and 0.
int Report(const Options& o, const PObject& reply, const std::string& done);

}  // namespace ctl
