#include "support/control_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/logger.h"
#include "base/settings.h"
#include "daemon/control_socket.h"
#include "daemon/ipc_listener.h"
#include "net/channel.h"
#include "session/ipc_sender.h"
#include "stream/pstream.h"
#include "sync/detector.h"
#include "sync/progress_syncer.h"
#include "sync/syncer.h"

namespace tidewell::testing {

namespace {

int connect_unix(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

const char kBlackList[] = "[Version]\nmajor = 1\nminor = 0\n[Common]\n[File]\n[Directory]\n";
const char kWhiteList[] = "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"*\"\n";
const char kForceHash[] = "[Version]\nmajor = 1\nminor = 0\n[File]\n";

}  // namespace

bool Eventually(const std::function<bool()>& condition, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

PObject Msg(std::initializer_list<std::pair<const char*, PObject>> members) {
    PObject msg;
    msg.asMap();
    for (const auto& [key, value] : members) msg[key] = value;
    return msg;
}

TaskFactory TestTaskFactory(FakeWorker::Control* workers, unsigned stuck_seconds) {
    TaskFactory f;
    f.detector = [] { return std::make_unique<Detector>(); };
    SessionLimits limits;
    limits.answer_seconds = 20;
    limits.send_seconds = 10;
    Syncer::Options so;
    so.uptodate_rest = 1;
    so.short_wait = 1;
    so.long_wait = 2;
    so.stuck_seconds = stuck_seconds;
    so.limits = limits;
    f.syncer = [so] { return std::make_unique<Syncer>(so); };
    ProgressSyncer::Options po;
    po.short_wait = 1;
    po.long_wait = 2;
    po.stuck_seconds = stuck_seconds;
    po.limits = limits;
    f.progress_syncer = [po] { return std::make_unique<ProgressSyncer>(po); };
    if (workers) f.worker = [workers] { return std::make_unique<FakeWorker>(*workers); };
    return f;
}

PObject AckOnly() {
    PObject reply;
    reply["ack"] = "ok";
    return reply;
}

PObject ErrorReply(const char* text) {
    PObject reply = AckOnly();
    reply["error"] = text;
    return reply;
}

PObject ConnectionRequest(uint64_t id, int port, const char* action) {
    PObject msg;
    msg["action"] = action;
    msg["connection_id"] = id;
    msg["server_ip"] = "127.0.0.1";
    msg["server_port"] = static_cast<uint64_t>(port);
    msg["session"] = "token-of-the-test";
    msg["use_ssl"] = false;
    return msg;
}

PObject SessionRequest(uint64_t id, const SessionDirs& dirs, uint64_t conn_id, uint64_t view_id) {
    PObject msg;
    msg["action"] = "add_session";
    msg["connection_id"] = conn_id;
    msg["session_id"] = id;
    msg["view_id"] = view_id;
    msg["config_path"] = dirs.config.c_str();
    msg["sync_folder"] = dirs.folder.c_str();
    return msg;
}

// --- NoticeCollector ---------------------------------------------------------

NoticeCollector::NoticeCollector(const std::string& path) : path_(path) {
    fd_ = IPCListener::OpenDomainSocket(path);
    if (pipe2(wake_, O_CLOEXEC) != 0) std::abort();
    thread_ = std::thread(&NoticeCollector::Loop, this);
}

NoticeCollector::~NoticeCollector() {
    char byte = 1;
    if (write(wake_[1], &byte, 1) != 1) std::abort();
    thread_.join();
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
    close(wake_[0]);
    close(wake_[1]);
}

void NoticeCollector::Loop() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        Channel ch;
        if (ch.Open(c, true) != 0) continue;
        ch.SetTimeout(5);
        PStream stream;
        PObject notice;
        if (stream.Recv(ch, notice) != 0) continue;
        std::lock_guard<std::mutex> guard(mu_);
        notices_.push_back(notice);
    }
}

std::vector<PObject> NoticeCollector::notices() {
    std::lock_guard<std::mutex> guard(mu_);
    return notices_;
}

size_t NoticeCollector::Count(const std::function<bool(const PObject&)>& match) {
    size_t n = 0;
    for (const PObject& notice : notices())
        if (match(notice)) ++n;
    return n;
}

bool NoticeCollector::WaitFor(const std::function<bool(const PObject&)>& match, int timeout_ms) {
    return Eventually([&] { return Count(match) > 0; }, timeout_ms);
}

// --- SessionDirs ---------------------------------------------------------------

SessionDirs::SessionDirs(TempDir& root, const std::string& name)
    : folder(root.file(name + "-folder")), config(root.file(name + "-config")) {
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(config + "/conf");
    root.write(name + "-config/conf/blacklist.filter", kBlackList);
    root.write(name + "-config/conf/whitelist.filter", kWhiteList);
    root.write(name + "-config/conf/force-hash-check-list.filter", kForceHash);
}

void SessionDirs::WriteBlackList(const std::string& text) const {
    std::ofstream(config + "/conf/blacklist.filter", std::ios::binary | std::ios::trunc) << text;
}

void SessionDirs::WriteWhiteList(const std::string& text) const {
    std::ofstream(config + "/conf/whitelist.filter", std::ios::binary | std::ios::trunc) << text;
}

// --- ControlDaemon -------------------------------------------------------------

ControlDaemon::ControlDaemon(TaskFactory factory, unsigned worker_count) {
    control_socket = dir.file("control.sock");
    std::string ui_socket = dir.file("ui.sock");
    dir.write("levels",
              "client_debug = 7\nsyncer_debug = 7\nprogress_syncer_debug = 7\nevent_mgr_debug = 6\n"
              "worker_debug = 7\nfilter_utils_debug = 7\nchannel_debug = 4\n");
    std::string config = "pid_file_path = \"\"\n"
                         "log_file_path = \"" + dir.file("daemon.log") + "\"\n"
                         "log_level_file_path = \"" + dir.file("levels") + "\"\n"
                         "fstat_db_path = \"" + dir.file("fstat.sqlite") + "\"\n"
                         "filter_db_path = \"" + dir.file("filter.sqlite") + "\"\n"
                         "system_filter_path = \"" TIDEWELL_SOURCE_DIR "/share/system.filter\"\n"
                         "worker_count = " + std::to_string(worker_count) + "\n"
                         "socket_path = \"" + control_socket + "\"\n"
                         "ui_socket_path = \"" + ui_socket + "\"\n"
                         "is_foreground = false\n";
    Settings::getInstance().resetToDefaults();
    if (Settings::getInstance().loadConfigSettings(dir.write("tidewell.conf", config)) != 0) std::abort();
    if (Logger::Initialize(Logger::FILE_LOGGER, dir.file("daemon.log"), dir.file("levels"), 50) != 0) std::abort();
    notices = std::make_unique<NoticeCollector>(ui_socket);

    app_ = std::make_unique<TidewellApp>(std::move(factory));
    if (app_->run() != 0) std::abort();
    control_ = std::thread([this] { recieve_from_ipc(*app_); });
    bool listening = Eventually([this] {
        int fd = connect_unix(control_socket);
        if (fd < 0) return false;
        close(fd);
        return true;
    });
    if (!listening) std::abort();
}

ControlDaemon::~ControlDaemon() {
    PObject stop;
    stop["action"] = "stop";
    int fd = connect_unix(control_socket);
    IPCSender sender;
    if (fd >= 0 && sender.assign(fd) == 0 && sender.send(stop) == 0) {
        PObject none;
        sender.recv(none);  // the daemon closes after running "stop"
    }
    control_.join();
    app_->kill();
    app_.reset();
    notices.reset();
    Logger::Destroy();
}

PObject ControlDaemon::Request(const PObject& msg) {
    PObject reply;
    int fd = connect_unix(control_socket);
    IPCSender sender;
    if (fd < 0 || sender.assign(fd) != 0 || sender.send(msg) != 0 || sender.recv(reply) != 0) return PObject();
    return reply;
}

PObject ControlDaemon::Action(const char* action) {
    PObject msg;
    msg["action"] = action;
    return Request(msg);
}

std::string ControlDaemon::Log() const {
    return TempDir::read(dir.file("daemon.log"));
}

bool ControlDaemon::WaitForLog(const std::string& text, int timeout_ms) const {
    return Eventually([&] { return Log().find(text) != std::string::npos; }, timeout_ms);
}

size_t ControlDaemon::CountInLog(const std::string& text) const {
    std::string log = Log();
    size_t n = 0;
    for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) ++n;
    return n;
}

}  // namespace tidewell::testing
