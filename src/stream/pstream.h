// The tagged binary encoding of PObject trees on a Channel.
//
// One message is exactly one value: a tag byte and the tag's body, integers
// big-endian. Binaries never enter memory: sending one streams the named
// byte range of a file, receiving one streams the bytes into a file (the
// one the receiving value already names, or a fresh one in the default
// receive location). Another thread may ask GetStatus at any time which
// member is being transferred and how far a file transfer has got.
//
// The decoder takes hostile input: it refuses nesting deeper than its depth
// limit (kMaxDepth unless SetLimits says otherwise), more values in one
// message than its value limit (kMaxValues), more bytes of text (strings and
// keys) than its text limit (none by default), integers wider than 8 bytes
// and binaries that have nowhere to go, with ERR_STREAM.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "base/ustring.h"
#include "net/channel.h"
#include "value/pobject.h"

class PStream {
public:
    enum {
        ERR_OK = 0,
        ERR_SYS = -1,
        ERR_IO = -2,
        ERR_TIMEOUT = -3,
        ERR_DISKFULL = -4,
        ERR_STREAM = -5,
        ERR_INPUT = -6,
    };

    enum : uint8_t {
        TAG_NULL = 0x00,
        TAG_INTEGER = 0x01,
        TAG_STRING = 0x10,
        TAG_BINARY = 0x30,
        TAG_END = 0x40,
        TAG_ARRAY = 0x41,
        TAG_MAP = 0x42,
    };

    static constexpr int kMaxDepth = 64;
    static constexpr uint64_t kMaxValues = 10000000;
    static constexpr size_t kMaxStringLength = 65535;
    static constexpr size_t kPieceSize = 81920;

    // Limits of one received message. The defaults are the protocol's; a
    // stream that only ever carries small messages (a control request) sets
    // far smaller ones, which bound the memory a peer can make it take.
    struct Limits {
        int max_depth = kMaxDepth;
        uint64_t max_values = kMaxValues;
        // Bytes of all strings of the message, keys included.
        uint64_t max_text_bytes = UINT64_MAX;
    };

    PStream();

    // The limits of every later Recv.
    void SetLimits(const Limits& limits) { recv_limits = limits; }

    // Writes one value and flushes the channel. 0 or the first failure.
    int Send(Channel& ch, const PObject& x);
    // Reads one value into `x` as it stands: arrays append, maps merge by
    // key, a binary that names a file resumes it at its offset.
    int Recv(Channel& ch, PObject& x);

    // The folder for received binaries that name no file.
    void SetDefaultRecvLocation(const ustring& path);

    // The member path being transferred and the progress of the current
    // binary; callable from any thread.
    void GetStatus(ustring& item, uint64_t& sent, uint64_t& size);
    void UpdateStatus(uint64_t sent, uint64_t size);
    void ClearHistory();
    ustring GetHistory();
    void DumpHistory();
    static void GetVersion(int& major, int& minor, int& mini);

    template <typename T>
    static constexpr uint8_t GetTag() {
        return TagOfType(PObject::type_trait<T>::value);
    }
    template <typename T>
    static constexpr int GetType() {
        return PObject::type_trait<T>::value;
    }

    // The pieces of Send: each writes its own tag.
    int SendObject(Channel& ch, const PObject& x);
    int SendNull(Channel& ch);
    int Send(Channel& ch, uint64_t value);
    int Send(Channel& ch, const ustring& value);
    int Send(Channel& ch, const PObject::binary_type& value);
    int Send(Channel& ch, const PObject::vector& value);
    int Send(Channel& ch, const PObject::map& value);

    // The pieces of Recv: RecvTag reads one tag byte, RecvObject a tag and
    // its body, RecvDispatch the body of a known tag; the typed Recv forms
    // read a body whose tag has been read.
    int RecvTag(Channel& ch, uint8_t& tag);
    int RecvObject(Channel& ch, PObject& x);
    int RecvDispatch(Channel& ch, uint8_t tag, PObject& x);
    int Recv(Channel& ch, uint64_t& value);
    int Recv(Channel& ch, ustring& value);
    int Recv(Channel& ch, PObject::binary_type& value);
    int Recv(Channel& ch, PObject::vector& value);
    int Recv(Channel& ch, PObject::map& value);
    int Skip(Channel& ch, uint8_t tag);

private:
    static constexpr uint8_t TagOfType(int type) {
        return type == PObject::TYPE_INTEGER  ? TAG_INTEGER
               : type == PObject::TYPE_STRING ? TAG_STRING
               : type == PObject::TYPE_BINARY ? TAG_BINARY
               : type == PObject::TYPE_MAP    ? TAG_MAP
               : type == PObject::TYPE_ARRAY  ? TAG_ARRAY
                                              : TAG_NULL;
    }

    void PushKey(const ustring& key);
    void PopKey();
    ustring HistoryLocked() const;
    // The blanks that indent a trace line at the current depth.
    const char* Indent() const;
    int ChannelFailure(int ret);
    int EnterContainer();

    std::vector<ustring> history;
    uint64_t total_size;
    uint64_t total_sent;
    std::mutex status_lock;
    int indent;
    ustring recv_path;

    // Limits of the messages received, and what the one being received has
    // used of them.
    Limits recv_limits;
    int recv_depth;
    uint64_t recv_values;
    uint64_t recv_text;
};
