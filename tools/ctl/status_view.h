// The status screen: a "get_status" reply as text for people, the folders
// and servers taken from the setup.
#pragma once

#include <cstdint>
#include <string>

#include "setup_state.h"
#include "value/pobject.h"

namespace ctl {

// Sessions, connections and transfers, one block each ("none" for an empty
// list), a progress bar per transfer.
std::string StatusScreen(const PObject& status, SavedSetup& setup);

// "[#######.............]  35%  3.5 MiB of 10.0 MiB"; without a total, the
// bytes done only.
std::string ProgressBar(uint64_t done, uint64_t total, int width = 24);

// 1536 -> "1.5 KiB".
std::string HumanBytes(uint64_t bytes);

}  // namespace ctl
