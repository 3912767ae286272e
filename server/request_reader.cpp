#include "server/request_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "delta/md4.h"
#include "stream/pstream.h"

namespace tw_server {

namespace {

// Large enough for few system calls, small enough to stay in the cache
// while it is copied twice (1 MiB pieces write several times slower).
constexpr size_t kPiece = 256 << 10;

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Bodies from this size on are hashed on a second thread while the next
// pieces arrive, so that receiving, storing and hashing overlap.
constexpr uint64_t kPipelineFrom = 8 << 20;
constexpr size_t kPipelineDepth = 4;

// The pieces of one body on their way to the hash: filled by the reading
// thread, hashed in order by a helper thread, then free again.
class HashPipeline {
public:
    explicit HashPipeline(Md4* md4) : md4_(md4) {
        for (size_t i = 0; i < kPipelineDepth; ++i) {
            buffers_.emplace_back(new char[kPiece]);
            free_.push_back(buffers_.back().get());
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~HashPipeline() { Finish(); }

    // A piece to fill; waits until the hash has let go of one.
    char* Take() {
        std::unique_lock<std::mutex> lock(lock_);
        freed_.wait(lock, [this] { return !free_.empty(); });
        char* buf = free_.back();
        free_.pop_back();
        return buf;
    }
    // Hands a filled piece to the hash (n may be 0: the piece goes back).
    void Give(char* buf, size_t n) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.emplace_back(buf, n);
        }
        filled_.notify_one();
    }
    // Waits until every piece given is hashed.
    void Finish() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (done_) return;
            done_ = true;
        }
        filled_.notify_one();
        thread_.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(lock_);
        for (;;) {
            filled_.wait(lock, [this] { return done_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto [buf, n] = queue_.front();
            queue_.pop_front();
            lock.unlock();
            if (n > 0) md4_->update(buf, n);
            lock.lock();
            free_.push_back(buf);
            freed_.notify_one();
        }
    }

    Md4* md4_;  // touched only by the helper thread until Finish returns
    std::vector<std::unique_ptr<char[]>> buffers_;
    std::mutex lock_;  // guards free_, queue_, done_
    std::condition_variable freed_;
    std::condition_variable filled_;
    std::vector<char*> free_;
    std::deque<std::pair<char*, size_t>> queue_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

ReadOutcome RequestReader::Fail(const std::string& problem) {
    problem_ = problem;
    return ReadOutcome::Malformed;
}

ReadOutcome RequestReader::Broke(int channel_result) {
    channel_error_ = channel_result;
    return ReadOutcome::Broken;
}

std::string RequestReader::MemberName() const {
    std::string name;
    for (const std::string& key : keys_) {
        if (!name.empty()) name += '.';
        name += key;
    }
    return name;
}

ReadOutcome RequestReader::Read(PObject& out, const Placer& placer, const MemberHook& hook) {
    out.clear();
    placer_ = &placer;
    hook_ = &hook;
    root_ = &out;
    keys_.clear();
    values_ = 0;
    text_bytes_ = 0;
    problem_.clear();
    channel_error_ = 0;
    store_error_ = 0;
    nul_members_.clear();

    uint8_t tag = 0;
    int ret = ch_.ReadByte(&tag);
    if (ret < 0) return Broke(ret);
    if (tag != PStream::TAG_MAP) return Fail("the request is not a map (tag " + std::to_string(tag) + ")");
    out.asMap();
    return ReadMap(out, 1, true);
}

ReadOutcome RequestReader::ReadText(std::string& text, bool& had_nul) {
    uint16_t length = 0;
    int ret = ch_.ReadInt16(&length);
    if (ret < 0) return Broke(ret);
    text_bytes_ += length;
    if (text_bytes_ > limits_.max_text_bytes)
        return Fail("more than " + std::to_string(limits_.max_text_bytes) + " bytes of text");
    text.resize(length);
    if (length > 0) {
        ret = ch_.Read(text.data(), length);
        if (ret < 0) return Broke(ret);
    }
    size_t nul = text.find('\0');
    had_nul = nul != std::string::npos;
    if (had_nul) text.resize(nul);
    return ReadOutcome::Ok;
}

ReadOutcome RequestReader::ReadMap(PObject& x, int depth, bool top) {
    PObject::map& members = x.asMap();
    for (;;) {
        uint8_t tag = 0;
        int ret = ch_.ReadByte(&tag);
        if (ret < 0) return Broke(ret);
        if (tag == PStream::TAG_END) return ReadOutcome::Ok;
        if (tag != PStream::TAG_STRING)
            return Fail("a map key with tag " + std::to_string(tag) + " in " + MemberName());
        std::string key;
        bool had_nul = false;
        ReadOutcome outcome = ReadText(key, had_nul);
        if (outcome != ReadOutcome::Ok) return outcome;
        if (had_nul) return Fail("a map key with a NUL byte in " + MemberName());
        if (members.count(ustring(key)) != 0) return Fail("the key \"" + key + "\" twice in " + MemberName());

        ret = ch_.ReadByte(&tag);
        if (ret < 0) return Broke(ret);
        keys_.push_back(key);
        outcome = ReadValue(tag, members[ustring(key)], depth);
        if (outcome != ReadOutcome::Ok) return outcome;
        keys_.pop_back();
        if (top && *hook_) (*hook_)(*root_);
    }
}

ReadOutcome RequestReader::ReadArray(PObject& x, int depth) {
    PObject::vector& elements = x.asArray();
    for (;;) {
        uint8_t tag = 0;
        int ret = ch_.ReadByte(&tag);
        if (ret < 0) return Broke(ret);
        if (tag == PStream::TAG_END) return ReadOutcome::Ok;
        keys_.push_back("[" + std::to_string(elements.size()) + "]");
        elements.emplace_back();
        ReadOutcome outcome = ReadValue(tag, elements.back(), depth);
        if (outcome != ReadOutcome::Ok) return outcome;
        keys_.pop_back();
    }
}

ReadOutcome RequestReader::ReadValue(uint8_t tag, PObject& x, int depth) {
    if (++values_ > limits_.max_values) return Fail("more than " + std::to_string(limits_.max_values) + " values");
    switch (tag) {
        case PStream::TAG_NULL: {
            uint8_t length = 0;
            int ret = ch_.ReadByte(&length);
            if (ret < 0) return Broke(ret);
            if (length != 0) return Fail("a null of length " + std::to_string(length) + " in " + MemberName());
            x.clear();
            return ReadOutcome::Ok;
        }
        case PStream::TAG_INTEGER: {
            uint8_t width = 0;
            int ret = ch_.ReadByte(&width);
            if (ret < 0) return Broke(ret);
            if (width > 8) return Fail("an integer of " + std::to_string(width) + " bytes in " + MemberName());
            unsigned char bytes[8];
            if (width > 0) {
                ret = ch_.Read(reinterpret_cast<char*>(bytes), width);
                if (ret < 0) return Broke(ret);
            }
            uint64_t value = 0;
            for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
            x = value;
            return ReadOutcome::Ok;
        }
        case PStream::TAG_STRING: {
            std::string text;
            bool had_nul = false;
            ReadOutcome outcome = ReadText(text, had_nul);
            if (outcome != ReadOutcome::Ok) return outcome;
            if (had_nul) nul_members_.insert(MemberName());
            x = ustring(text);
            return ReadOutcome::Ok;
        }
        case PStream::TAG_BINARY:
            return ReadBinary(x);
        case PStream::TAG_ARRAY:
            if (depth >= limits_.max_depth) return Fail("nesting deeper than " + std::to_string(limits_.max_depth));
            return ReadArray(x, depth + 1);
        case PStream::TAG_MAP:
            if (depth >= limits_.max_depth) return Fail("nesting deeper than " + std::to_string(limits_.max_depth));
            x.asMap();
            return ReadMap(x, depth + 1, false);
        default:
            return Fail("an unknown tag " + std::to_string(tag) + " in " + MemberName());
    }
}

ReadOutcome RequestReader::ReadBinary(PObject& x) {
    uint64_t length = 0;
    int ret = ch_.ReadInt64(&length);
    if (ret < 0) return Broke(ret);

    BinaryTarget target = *placer_ ? (*placer_)(keys_, length, *root_) : BinaryTarget{};
    int fd = -1;
    if (!target.path.empty()) {
        fd = open(target.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        // Cut back only a file that is longer: ext4 writes a file out when
        // it is closed after a cut to zero (its guard for files replaced by
        // truncation), which would make every fresh body a synchronous write.
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 ||
            (static_cast<uint64_t>(st.st_size) > target.offset &&
             ftruncate(fd, static_cast<off_t>(target.offset)) != 0) ||
            lseek(fd, static_cast<off_t>(target.offset), SEEK_SET) < 0) {
            store_error_ = errno;
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    const bool stored_any = fd >= 0;
    if (fd < 0 && target.path.empty() && target.memory != nullptr) {
        target.memory->clear();
        target.memory->reserve(static_cast<size_t>(length));
    }

    std::unique_ptr<HashPipeline> pipeline;
    std::unique_ptr<char[]> own;
    if (fd >= 0 && target.hash != nullptr && length >= kPipelineFrom) {
        pipeline = std::make_unique<HashPipeline>(target.hash);
    } else {
        own.reset(new char[length < kPiece ? (length > 0 ? length : 1) : kPiece]);
    }
    uint64_t received = 0, stored = 0;
    int result = 0;
    while (received < length) {
        uint64_t owed = length - received;
        size_t want = owed < kPiece ? static_cast<size_t>(owed) : kPiece;
        char* buf = pipeline ? pipeline->Take() : own.get();
        size_t got = 0;
        result = ch_.Read(buf, want, got);
        received += got;
        size_t hashed = 0;
        if (fd < 0 && target.path.empty() && target.memory != nullptr && got > 0) {
            target.memory->append(buf, got);
            stored += got;
            hashed = got;
        } else if (fd >= 0 && got > 0) {
            if (WriteAll(fd, buf, got)) {
                stored += got;
                hashed = got;
            } else {
                // Keep reading so that the stream stays in step; the caller
                // answers the store failure.
                store_error_ = errno;
                close(fd);
                fd = -1;
            }
        }
        if (pipeline) {
            pipeline->Give(buf, hashed);
        } else if (hashed > 0 && target.hash) {
            target.hash->update(buf, hashed);
        }
        if (result < 0) break;
    }
    if (pipeline) pipeline->Finish();
    if (fd >= 0) close(fd);

    PObject::binary_type& binary = x.asBinary();
    binary.offset = target.offset;
    binary.length = stored;
    binary.path = stored_any ? ustring(target.path) : ustring();
    if (result < 0) return Broke(result);
    return ReadOutcome::Ok;
}

}  // namespace tw_server
