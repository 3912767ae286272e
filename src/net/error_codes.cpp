#include "net/error_codes.h"

namespace {

const char* const kErrorTexts[] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "ZEM disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
    "file locked or no permission",
    "ssl certificate verify fail",
    "permission is read-only",
};

}  // namespace

const char* GetErrorString(int err) {
    // Computed in unsigned arithmetic so that INT_MIN has a magnitude too.
    unsigned magnitude = err < 0 ? 0u - static_cast<unsigned>(err) : static_cast<unsigned>(err);
    if (magnitude >= sizeof kErrorTexts / sizeof kErrorTexts[0]) return "Unknown error";
    return kErrorTexts[magnitude];
}
