#include "status_view.h"

#include <cstdio>

namespace ctl {

namespace {

std::string pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string session_line(const PObject& s, SavedSetup& setup) {
    uint64_t id = s["session_id"].asUInt64();
    std::string status = s["status"].asString().str();
    uint64_t pending = s["unfinished_files"].asUInt64();
    if (status == "syncing") status += " (" + std::to_string(pending) + " left)";
    std::string where = "(not set up by tidewell-ctl)";
    if (const SessionSetup* setup_entry = setup.FindSession(id))
        where = setup_entry->folder + "  <->  view " + std::to_string(setup_entry->view) + " " +
                setup_entry->remote_path;
    return "  " + pad("#" + std::to_string(id), 6) + pad("connection " + std::to_string(s["connection_id"].asUInt64()),
                                                          15) +
           pad(status, 22) + where + "\n";
}

std::string connection_line(const PObject& c, SavedSetup& setup) {
    uint64_t id = c["connection_id"].asUInt64();
    std::string where;
    if (const ConnectionSetup* setup_entry = setup.FindConnection(id))
        where = setup_entry->server + ":" + std::to_string(setup_entry->port) + (setup_entry->tls ? " (TLS)" : "");
    return "  " + pad("#" + std::to_string(id), 6) + pad(c["status"].asString().str(), 15) + where + "\n";
}

std::string worker_line(const PObject& w) {
    return "  " + pad(w["status"].asString().str(), 12) + pad("session " + std::to_string(w["session_id"].asUInt64()), 12) +
           w["path"].asString().str() + "\n      " +
           ProgressBar(w["progress"].asUInt64(), w["total_size"].asUInt64()) + "\n";
}

}  // namespace

std::string HumanBytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string ProgressBar(uint64_t done, uint64_t total, int width) {
    if (total == 0) return "[" + std::string(static_cast<size_t>(width), '?') + "]  " + HumanBytes(done);
    if (done > total) done = total;
    // In long double: done * width would overflow 64 bits for huge files.
    long double fraction = static_cast<long double>(done) / static_cast<long double>(total);
    int filled = static_cast<int>(fraction * width);
    int percent = static_cast<int>(fraction * 100);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent);
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') +
           "] " + pct + "  " + HumanBytes(done) + " of " + HumanBytes(total);
}

std::string StatusScreen(const PObject& status, SavedSetup& setup) {
    std::string out = "Sessions\n";
    const PObject& sessions = status["session_list"];
    if (sessions.asArray().empty()) out += "  none\n";
    for (const PObject& s : sessions.asArray()) out += session_line(s, setup);
    out += "Connections\n";
    const PObject& connections = status["connection_list"];
    if (connections.asArray().empty()) out += "  none\n";
    for (const PObject& c : connections.asArray()) out += connection_line(c, setup);
    out += "Transfers\n";
    const PObject& workers = status["worker_list"];
    if (workers.asArray().empty()) out += "  none\n";
    for (const PObject& w : workers.asArray()) out += worker_line(w);
    return out;
}

}  // namespace ctl
