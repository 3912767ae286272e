// The "pull_event" exchange shared by the two syncers: the request for a
// session's server changes after a sync id, and the check that an answer
// may be processed at all.
#pragma once

#include <cstdint>

#include "net/connection_info.h"
#include "session/registry.h"
#include "value/pobject.h"

// The request for every change of `entry`'s view after `sync_id`, with the
// connection's session token.
void BuildPullRequest(const Registry::Entry& entry, const ConnectionInfo& info, uint64_t sync_id, PObject& request);

// Whether a pull answer can be processed: 0 when it has an integer
// "next_sync_id" and, when that differs from `sync_id`, an array
// "event_list". A refusal ("error") gives the server's code translated for
// the syncers, and ERR_SERVER when the table has no translation; a
// malformed answer gives ERR_SERVER. Neither is ever 0: taking a missing
// "next_sync_id" for 0 would restart the session's pulls from the
// beginning, or complete a resume condition that is not complete. Logs
// under `component`.
int CheckPullAnswer(const PObject& response, uint64_t sync_id, const char* component);
