#include "notice_text.h"

#include "json_convert.h"
#include "net/error_codes.h"

namespace ctl {

namespace {

std::string code_text(const PObject& code) {
    int value = static_cast<int>(code.asInt64());
    return std::to_string(value) + " (" + GetErrorString(value) + ")";
}

std::string item(const PObject& n) {
    std::string kind = n["is_dir"].asBool() ? "folder" : "file";
    return "session " + std::to_string(n["session_id"].asUInt64()) + ", " + kind + " " + n["path"].asString().str();
}

}  // namespace

std::string NoticeText(const PObject& n) {
    std::string notify = n["notify"].asString().str();
    if (notify == "syncing_file") return "syncing: " + item(n);
    if (notify == "recent_file") return "synced: " + item(n);
    if (notify == "readonly_file") return "read-only: " + item(n);
    if (notify == "locked_file") {
        const PObject& error = n["error"];
        return "locked: " + item(n) + ": " + error["reason"].asString().str() + ", error " + code_text(error["code"]);
    }
    if (notify == "error" && n.hasMember("connection_id"))
        return "connection error: connection " + std::to_string(n["connection_id"].asUInt64()) + " (session " +
               std::to_string(n["sess_id"].asUInt64()) + "): error " + code_text(n["error_type"]);
    if (notify == "error" && n.hasMember("session_id"))
        return "session error: session " + std::to_string(n["session_id"].asUInt64()) + " (connection " +
               std::to_string(n["conn_id"].asUInt64()) + "): error " + code_text(n["error_type"]);
    return "notice: " + ToJson(n, true).dump();
}

}  // namespace ctl
