// One human-readable line for a notification from the daemon.
#pragma once

#include <string>

#include "value/pobject.h"

namespace ctl {

std::string NoticeText(const PObject& notice);

}  // namespace ctl
