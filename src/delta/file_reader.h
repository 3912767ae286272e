// Base of the readers of the delta engine: a reader streams one file's
// bytes, once, through the handlers set on it (a copy of the file, its MD4
// hash, its block signature, its delta against an older signature).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ustring.h"

class CopyHandler;
class MD4HashHandler;
class SignatureHandler;
class DeltaHandler;

class FileReader {
public:
    enum Result {
        SUCCESS = 0,
        ERROR_ARGUMENT = -1,
        ERROR_SYSTEM_CALL = -2,
        ERROR_HANDLER_CALL = -3,
        ERROR_ABORT = -4,
        ERROR_FILE_FORMAT = -5,
    };

    static constexpr size_t CHUNK_SIZE = 1 << 20;

    FileReader();
    virtual ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // One of the Result codes; the outputs exist only after it returns.
    virtual int readFile() = 0;

    // Each setter replaces the handler of its kind.
    void setCopyHandler(const ustring& file);
    // `result` receives the digest as 32 lower-case hexadecimal digits; it
    // must outlive the reader.
    void setMD4HashHandler(ustring& result);
    // A block size of 0 keeps 2048; a hash size outside 1..16 keeps 8.
    void setSignatureHandler(const ustring& file, uint32_t block_size, uint32_t hash_size);
    void setDeltaHandler(const ustring& delta_file, const ustring& signature_file);
    // A non-zero value at `flag`, set by any thread with SetAbortFlag()
    // (base/abort_flag.h: the flag is read only through std::atomic_ref),
    // stops the reader before its next chunk (null: never).
    void setAbortFlag(int* flag) { abort_flag = flag; }

protected:
    // Each returns 0, or ERROR_HANDLER_CALL when any handler failed.
    int begin();
    int update(const uint8_t* data, size_t length);
    int wait();
    int end();
    bool isAborted() const;

    int* abort_flag = nullptr;
    CopyHandler* copy_handler = nullptr;
    MD4HashHandler* md4_hash_handler = nullptr;
    SignatureHandler* signature_handler = nullptr;
    DeltaHandler* delta_handler = nullptr;
};
