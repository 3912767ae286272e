#include "stream/pstream.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/logger.h"
#include "fs/tmp_name_gen.h"
#include "stream/xfopen.h"

namespace {

const char* const kComponent = "stream";
constexpr uint64_t kProgressStep = 104857600;  // a log line every 100 MiB

// Trace lines carry no level tag or file prefix.
#define TRACE(format, ...) ::Logger::LogMsg(::Logger::L_DEBUG, kComponent, format "\n" __VA_OPT__(, ) __VA_ARGS__)

}  // namespace

PStream::PStream() : total_size(0), total_sent(0), indent(0), recv_depth(0), recv_values(0), recv_text(0) {}

void PStream::SetDefaultRecvLocation(const ustring& path) {
    recv_path = path;
}

void PStream::GetStatus(ustring& item, uint64_t& sent, uint64_t& size) {
    std::lock_guard<std::mutex> guard(status_lock);
    item = HistoryLocked();
    sent = total_sent;
    size = total_size;
}

void PStream::UpdateStatus(uint64_t sent, uint64_t size) {
    std::lock_guard<std::mutex> guard(status_lock);
    total_sent = sent;
    total_size = size;
}

void PStream::ClearHistory() {
    {
        std::lock_guard<std::mutex> guard(status_lock);
        history.clear();
        total_sent = 0;
        total_size = 0;
    }
    indent = 0;
}

ustring PStream::HistoryLocked() const {
    ustring path;
    for (size_t i = 0; i < history.size(); ++i) {
        if (i > 0) path += ".";
        path += history[i];
    }
    return path;
}

ustring PStream::GetHistory() {
    std::lock_guard<std::mutex> guard(status_lock);
    return HistoryLocked();
}

void PStream::DumpHistory() {
    TW_ERROR(kComponent, "Error stack: %s\n", GetHistory().c_str());
}

void PStream::GetVersion(int& major, int& minor, int& mini) {
    major = 1;
    minor = 0;
    mini = 0;
}

void PStream::PushKey(const ustring& key) {
    std::lock_guard<std::mutex> guard(status_lock);
    history.push_back(key);
}

void PStream::PopKey() {
    std::lock_guard<std::mutex> guard(status_lock);
    if (!history.empty()) history.pop_back();
}

const char* PStream::Indent() const {
    static const char kBlanks[] = "                      ";  // 22
    int n = indent * 2;
    if (n > 22) n = 22;
    if (n < 0) n = 0;
    return kBlanks + 22 - n;
}

int PStream::ChannelFailure(int ret) {
    TW_WARNING(kComponent, "Channel: %d\n", ret);
    return ERR_IO;
}

// ---------------------------------------------------------------- sending

int PStream::Send(Channel& ch, const PObject& x) {
    int ret = SendObject(ch, x);
    if (ret == ERR_OK) {
        int flushed = ch.FlushWrite(0);
        if (flushed < 0) ret = ChannelFailure(flushed);
    }
    if (ret < 0) DumpHistory();
    ClearHistory();
    return ret;
}

int PStream::SendObject(Channel& ch, const PObject& x) {
    switch (x.getType()) {
        case PObject::TYPE_NULL:
            UpdateStatus(0, 0);
            return SendNull(ch);
        case PObject::TYPE_INTEGER:
            UpdateStatus(0, 0);
            return Send(ch, x.asInteger());
        case PObject::TYPE_STRING:
            UpdateStatus(0, 0);
            return Send(ch, x.asString());
        case PObject::TYPE_BINARY:
            return Send(ch, x.asBinary());
        case PObject::TYPE_ARRAY:
            return Send(ch, x.asArray());
        case PObject::TYPE_MAP:
            return Send(ch, x.asMap());
        default:
            TW_ERROR(kComponent, "unknown value type %d\n", x.getType());
            return ERR_SYS;
    }
}

int PStream::SendNull(Channel& ch) {
    static const char kNull[2] = {TAG_NULL, 0};
    int ret = ch.Write(kNull, 2);
    if (ret < 0) return ChannelFailure(ret);
    TRACE("%snull", Indent());
    return ERR_OK;
}

int PStream::Send(Channel& ch, uint64_t value) {
    uint8_t width = value < 256 ? 1 : value < 65536 ? 2 : value < (uint64_t{1} << 32) ? 4 : 8;
    char buf[10];
    buf[0] = static_cast<char>(TAG_INTEGER);
    buf[1] = static_cast<char>(width);
    for (int i = 0; i < width; ++i) buf[2 + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
    int ret = ch.Write(buf, 2 + width);
    if (ret < 0) return ChannelFailure(ret);
    TRACE("%s%llu", Indent(), static_cast<unsigned long long>(value));
    return ERR_OK;
}

int PStream::Send(Channel& ch, const ustring& value) {
    size_t k = value.length();
    if (k > kMaxStringLength) {
        TW_ERROR(kComponent, "string of %zu bytes exceeds the limit of %zu bytes\n", k, kMaxStringLength);
        return ERR_SYS;
    }
    char head[3] = {static_cast<char>(TAG_STRING), static_cast<char>(k >> 8), static_cast<char>(k)};
    int ret = ch.Write(head, 3);
    if (ret == 0 && k > 0) ret = ch.Write(value.c_str(), k);
    if (ret < 0) return ChannelFailure(ret);
    TRACE("%s\"%s\"", Indent(), value.c_str());
    return ERR_OK;
}

int PStream::Send(Channel& ch, const PObject::vector& value) {
    int ret = ch.WriteByte(TAG_ARRAY);
    if (ret < 0) return ChannelFailure(ret);
    TRACE("%s[", Indent());
    ++indent;
    for (const PObject& element : value) {
        ret = SendObject(ch, element);
        if (ret < 0) return ret;
    }
    --indent;
    TRACE("%s]", Indent());
    ret = ch.WriteByte(TAG_END);
    if (ret < 0) return ChannelFailure(ret);
    return ERR_OK;
}

int PStream::Send(Channel& ch, const PObject::map& value) {
    int ret = ch.WriteByte(TAG_MAP);
    if (ret < 0) return ChannelFailure(ret);
    TRACE("%s{", Indent());
    ++indent;
    for (const auto& [key, member] : value) {
        // A leading underscore is not sent; the member keeps its place in
        // the order of the full keys.
        ustring wire = !key.empty() && key[0] == '_' ? key.substr(1) : key;
        ret = Send(ch, wire);
        if (ret < 0) return ret;
        PushKey(wire);
        ret = SendObject(ch, member);
        if (ret < 0) return ret;  // the key stays on the history for the error report
        PopKey();
    }
    --indent;
    TRACE("%s}", Indent());
    ret = ch.WriteByte(TAG_END);
    if (ret < 0) return ChannelFailure(ret);
    return ERR_OK;
}

int PStream::Send(Channel& ch, const PObject::binary_type& value) {
    int ret = ch.WriteByte(TAG_BINARY);
    if (ret == 0) ret = ch.WriteInt64(value.length);
    if (ret < 0) return ChannelFailure(ret);
    if (value.length == 0) {
        TRACE("%sbinary, %llu bytes", Indent(), 0ull);
        return ERR_OK;
    }

    std::unique_ptr<char[]> buf(new (std::nothrow) char[kPieceSize]);
    if (!buf) {
        TW_ERROR(kComponent, "malloc error\n");
        return ERR_SYS;
    }
    FILE* fp = xfopen(value.path, "rb");
    if (fp == nullptr) {
        TW_ERROR(kComponent, "fopen(%s) error\n", value.path.c_str());
        return ERR_SYS;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(fp, fclose);
    if (fseeko(fp, static_cast<off_t>(value.offset), SEEK_SET) != 0) {
        TW_ERROR(kComponent, "fseek error\n");
        return ERR_SYS;
    }

    UpdateStatus(0, value.length);
    uint64_t sent = 0;
    while (sent < value.length && !feof(fp)) {
        uint64_t owed = value.length - sent;
        size_t want = owed < kPieceSize ? static_cast<size_t>(owed) : kPieceSize;
        size_t n = fread(buf.get(), 1, want, fp);
        if (n < want && ferror(fp)) {
            TW_ERROR(kComponent, "fread error\n");
            return ERR_SYS;
        }
        if (n == 0) break;
        ret = ch.Write(buf.get(), n);
        if (ret < 0) return ChannelFailure(ret);
        sent += n;
        UpdateStatus(sent, value.length);
        if (sent % kProgressStep == 0) {
            TW_INFO(kComponent, "sending %s ... (%llu / %llu)\n", value.path.c_str(),
                    static_cast<unsigned long long>(sent), static_cast<unsigned long long>(value.length));
        }
    }
    if (sent != value.length) {
        TW_ERROR(kComponent, "file length is incorrect.\n");
        return ERR_STREAM;
    }
    TRACE("%sbinary, %llu bytes", Indent(), static_cast<unsigned long long>(value.length));
    return ERR_OK;
}

// -------------------------------------------------------------- receiving

int PStream::Recv(Channel& ch, PObject& x) {
    recv_depth = 0;
    recv_values = 0;
    recv_text = 0;
    int ret = RecvObject(ch, x);
    if (ret < 0) DumpHistory();
    ClearHistory();
    return ret;
}

int PStream::RecvTag(Channel& ch, uint8_t& tag) {
    int ret = ch.ReadByte(&tag);
    if (ret < 0) return ChannelFailure(ret);
    return ERR_OK;
}

int PStream::RecvObject(Channel& ch, PObject& x) {
    uint8_t tag = 0;
    int ret = RecvTag(ch, tag);
    if (ret < 0) return ret;
    return RecvDispatch(ch, tag, x);
}

int PStream::EnterContainer() {
    if (recv_depth >= recv_limits.max_depth) {
        TW_ERROR(kComponent, "PStream: nesting deeper than %d levels\n", recv_limits.max_depth);
        return ERR_STREAM;
    }
    ++recv_depth;
    return ERR_OK;
}

int PStream::RecvDispatch(Channel& ch, uint8_t tag, PObject& x) {
    if (++recv_values > recv_limits.max_values) {
        TW_ERROR(kComponent, "PStream: more than %llu values in one message\n",
                 static_cast<unsigned long long>(recv_limits.max_values));
        return ERR_STREAM;
    }
    int ret;
    switch (tag) {
        case TAG_NULL: {
            uint8_t length = 0;
            ret = ch.ReadByte(&length);
            if (ret < 0) return ChannelFailure(ret);
            if (length != 0) {
                TW_ERROR(kComponent, "expect length 0, but we've got %u\n", static_cast<unsigned>(length));
                return ERR_STREAM;
            }
            x.clear();
            TRACE("%snull", Indent());
            return ERR_OK;
        }
        case TAG_INTEGER: {
            uint64_t value = 0;
            ret = Recv(ch, value);
            if (ret == ERR_OK) x = value;
            return ret;
        }
        case TAG_STRING: {
            ustring value;
            ret = Recv(ch, value);
            if (ret == ERR_OK) x = value;
            return ret;
        }
        case TAG_BINARY:
            return Recv(ch, x.asBinary());
        case TAG_ARRAY:
            ret = EnterContainer();
            if (ret < 0) return ret;
            ret = Recv(ch, x.asArray());
            if (ret == ERR_OK) --recv_depth;
            return ret;
        case TAG_MAP:
            ret = EnterContainer();
            if (ret < 0) return ret;
            ret = Recv(ch, x.asMap());
            if (ret == ERR_OK) --recv_depth;
            return ret;
        default:
            TW_ERROR(kComponent, "PStream: unexpected tag %u\n", static_cast<unsigned>(tag));
            return Skip(ch, tag);
    }
}

int PStream::Skip(Channel&, uint8_t) {
    return ERR_STREAM;
}

int PStream::Recv(Channel& ch, uint64_t& value) {
    uint8_t n = 0;
    int ret = ch.ReadByte(&n);
    if (ret < 0) return ChannelFailure(ret);
    if (n > 8) {
        TW_ERROR(kComponent, "PStream: integer of %u bytes is wider than 8 bytes\n", static_cast<unsigned>(n));
        return ERR_STREAM;
    }
    unsigned char bytes[8];
    if (n > 0) {
        ret = ch.Read(reinterpret_cast<char*>(bytes), n);
        if (ret < 0) return ChannelFailure(ret);
    }
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | bytes[i];
    value = v;
    TRACE("%s%llu", Indent(), static_cast<unsigned long long>(v));
    return ERR_OK;
}

int PStream::Recv(Channel& ch, ustring& value) {
    uint16_t k = 0;
    int ret = ch.ReadInt16(&k);
    if (ret < 0) return ChannelFailure(ret);
    recv_text += k;
    if (recv_text > recv_limits.max_text_bytes) {
        TW_ERROR(kComponent, "PStream: more than %llu bytes of text in one message\n",
                 static_cast<unsigned long long>(recv_limits.max_text_bytes));
        return ERR_STREAM;
    }
    char buf[kMaxStringLength];
    if (k > 0) {
        ret = ch.Read(buf, k);
        if (ret < 0) return ChannelFailure(ret);
    }
    // The text ends at the first zero byte, if any.
    const void* zero = memchr(buf, 0, k);
    size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - buf) : k;
    value.assign(buf, length);
    TRACE("%s\"%s\"", Indent(), value.c_str());
    return ERR_OK;
}

int PStream::Recv(Channel& ch, PObject::vector& value) {
    TRACE("%s[", Indent());
    ++indent;
    for (;;) {
        uint8_t tag = 0;
        int ret = RecvTag(ch, tag);
        if (ret < 0) return ret;
        if (tag == TAG_END) break;
        value.emplace_back();
        ret = RecvDispatch(ch, tag, value.back());
        if (ret < 0) return ret;
    }
    --indent;
    TRACE("%s]", Indent());
    return ERR_OK;
}

int PStream::Recv(Channel& ch, PObject::map& value) {
    TRACE("%s{", Indent());
    ++indent;
    for (;;) {
        uint8_t tag = 0;
        int ret = RecvTag(ch, tag);
        if (ret < 0) return ret;
        if (tag == TAG_END) break;
        if (tag != TAG_STRING) {
            TW_ERROR(kComponent, "PStream: expect string, but get tag %u\n", static_cast<unsigned>(tag));
            return ERR_STREAM;
        }
        ustring key;
        ret = Recv(ch, key);
        if (ret < 0) return ret;
        PushKey(key);
        ret = RecvObject(ch, value[key]);
        if (ret < 0) return ret;  // the key stays on the history for the error report
        PopKey();
    }
    --indent;
    TRACE("%s}", Indent());
    return ERR_OK;
}

namespace {

// Opens the file a binary is received into, positioned for appending at
// `offset`: a fresh file at 0, the file as it is when the offset is its
// recorded length, otherwise the file cut back to `offset`.
FILE* OpenForReceive(const ustring& path, uint64_t offset, uint64_t length) {
    if (offset == 0) return xfopen(path, "wb");
    if (offset != length) {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            TW_ERROR(kComponent, "CreateFile: Error code %d\n", errno);
            return nullptr;
        }
        if (ftruncate(fd, static_cast<off_t>(offset)) != 0) {
            TW_ERROR(kComponent, "SetEndOfFile: Error code %d\n", errno);
            close(fd);
            return nullptr;
        }
        close(fd);
    }
    return xfopen(path, "ab");
}

}  // namespace

int PStream::Recv(Channel& ch, PObject::binary_type& value) {
    uint64_t length = 0;
    int ret = ch.ReadInt64(&length);
    if (ret < 0) return ChannelFailure(ret);

    if (value.path.empty()) {
        if (recv_path.empty()) {
            TW_ERROR(kComponent, "PStream: a binary of %llu bytes arrived with no file and no receive location\n",
                     static_cast<unsigned long long>(length));
            return ERR_STREAM;
        }
        value.path = TmpNameGen::getInstance().getTmpPath(recv_path);
        value.offset = 0;
        value.length = 0;
        if (value.path.empty()) return ERR_SYS;
    } else {
        TW_DEBUG(kComponent, "store binary to %s, offset %llu\n", value.path.c_str(),
                 static_cast<unsigned long long>(value.offset));
    }

    const uint64_t start = value.offset;
    uint64_t written = 0;
    ret = ERR_OK;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kPieceSize]);
    FILE* fp = nullptr;
    if (!buf) {
        TW_ERROR(kComponent, "malloc error\n");
        ret = ERR_SYS;
    } else {
        fp = OpenForReceive(value.path, value.offset, value.length);
        if (fp == nullptr) ret = ERR_SYS;
    }

    if (fp != nullptr) {
        // Pieces go straight to the file, so that a failure leaves exactly
        // the bytes counted in `written` on disk.
        setvbuf(fp, nullptr, _IONBF, 0);
        UpdateStatus(0, length);
        while (written < length) {
            uint64_t owed = length - written;
            size_t want = owed < kPieceSize ? static_cast<size_t>(owed) : kPieceSize;
            size_t got = 0;
            int read_ret = ch.Read(buf.get(), want, got);
            // Whatever arrived before a failure is stored as well, so that a
            // resumed transfer starts right after it.
            size_t stored = got > 0 ? fwrite(buf.get(), 1, got, fp) : 0;
            written += stored;
            if (stored < got) {
                int err = errno;
                TW_ERROR(kComponent, "WriteFile: Error code %d\n", err);
                ret = err == ENOSPC ? ERR_DISKFULL : ERR_SYS;
                break;
            }
            UpdateStatus(written, length);
            if (read_ret < 0) {
                ret = ChannelFailure(read_ret);
                break;
            }
            if (written % kProgressStep == 0) {
                TW_INFO(kComponent, "receiving %s ... (%llu / %llu)\n", value.path.c_str(),
                        static_cast<unsigned long long>(written), static_cast<unsigned long long>(length));
            }
        }
        bool flushed = fflush(fp) == 0;
        int err = errno;
        if (fclose(fp) != 0 && flushed) {
            flushed = false;
            err = errno;
        }
        if (!flushed && ret == ERR_OK) {
            TW_ERROR(kComponent, "FlushFileBuffers: Error code %d\n", err);
            ret = err == ENOSPC ? ERR_DISKFULL : ERR_SYS;
        }
    }

    value.offset = start + written;
    value.length = start + written;
    TRACE("%sbinary has been stored at '%s' with length %llu", Indent(), value.path.c_str(),
          static_cast<unsigned long long>(value.length));
    return ret;
}
