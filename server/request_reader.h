// The strict decoder of one request body: exactly one map in the tagged
// binary encoding, read straight from the channel.
//
// PStream's decoder is made for trusted peers: it merges repeated keys,
// cuts strings at a NUL byte and stores binaries wherever it is told. A
// request comes from anyone who can reach the port, so this reader refuses
// what PStream would smooth over (a body that is not a map, a repeated key,
// a NUL tag of non-zero length, integers wider than 8 bytes, unknown tags,
// nesting, value counts or text beyond its limits) and lets the caller
// decide, for each binary as it arrives, where its bytes go. A string with
// a NUL byte is kept cut at the NUL (as every ustring is) and its member is
// listed in nul_members(), so that the caller can refuse it with the error
// that fits the member.
//
// A binary is streamed to its target in pieces; a failure to store (a full
// disk) switches the rest of that binary to being read and dropped, so that
// the stream stays in step and the request can still be answered. A
// received binary is recorded in the map as {offset: where its bytes start
// in the target file, length: how many were stored, path: the file, empty
// when they were dropped or went to memory}.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "net/channel.h"
#include "value/pobject.h"

class Md4;

namespace tw_server {

struct BinaryTarget {
    // The file to store the bytes in; empty: into `memory` when set, else
    // read and dropped.
    std::string path;
    std::string* memory = nullptr;
    // The file is cut back to this length and the bytes appended after it.
    uint64_t offset = 0;
    // Fed with every byte stored, when set.
    Md4* hash = nullptr;
};

struct RequestLimits {
    int max_depth = 16;
    size_t max_values = 10000;
    // Keys and strings together.
    size_t max_text_bytes = 1 << 20;
};

enum class ReadOutcome {
    Ok,
    // The channel failed (closed, timed out, aborted): nothing more can be
    // read or answered. What was stored stays stored.
    Broken,
    // The bytes are not a request; problem() says why. The stream is out of
    // step: the connection can take an answer but no further request.
    Malformed,
};

class RequestReader {
public:
    // Called for each binary when its length has been read, with the keys
    // leading to it and the map as decoded so far.
    using Placer =
        std::function<BinaryTarget(const std::vector<std::string>& keys, uint64_t length, const PObject& partial)>;
    // Called after each complete top-level member, with the map so far.
    using MemberHook = std::function<void(const PObject& partial)>;

    RequestReader(Channel& channel, const RequestLimits& limits) : ch_(channel), limits_(limits) {}

    ReadOutcome Read(PObject& out, const Placer& placer, const MemberHook& hook);

    const std::string& problem() const { return problem_; }
    // The channel's result code when the outcome is Broken.
    int channel_error() const { return channel_error_; }
    // errno of the first failure to store a binary, 0 when none.
    int store_error() const { return store_error_; }
    // The members (keys joined by ".") whose string held a NUL byte.
    const std::set<std::string>& nul_members() const { return nul_members_; }

private:
    ReadOutcome Fail(const std::string& problem);
    ReadOutcome Broke(int channel_result);
    ReadOutcome ReadValue(uint8_t tag, PObject& x, int depth);
    ReadOutcome ReadMap(PObject& x, int depth, bool top);
    ReadOutcome ReadArray(PObject& x, int depth);
    ReadOutcome ReadText(std::string& text, bool& had_nul);
    ReadOutcome ReadBinary(PObject& x);
    std::string MemberName() const;

    Channel& ch_;
    RequestLimits limits_;
    const Placer* placer_ = nullptr;
    const MemberHook* hook_ = nullptr;
    PObject* root_ = nullptr;
    std::vector<std::string> keys_;
    size_t values_ = 0;
    size_t text_bytes_ = 0;
    std::string problem_;
    int channel_error_ = 0;
    int store_error_ = 0;
    std::set<std::string> nul_members_;
};

}  // namespace tw_server
