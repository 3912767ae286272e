// Applies a delta (patch) to a basis file and streams the resulting new file
// through the handlers set on it, so that the new file can be written, hashed
// and signed in one pass. Optionally also writes the reverse delta, which
// turns the new file back into the basis.
#pragma once

#include <cstdint>
#include <memory>

#include "delta/file_reader.h"

struct PatchCommand {
    uint64_t start = 0;  // basis offset of a copy, or patch offset of literal data
    uint64_t length = 0;
    bool is_literal = false;
};

struct Block {
    uint64_t start = 0;  // offset in the basis
    uint64_t length = 0;
    uint64_t new_start = 0;  // where these bytes went in the new file
};

struct DeltaFileReaderImpl;

class DeltaFileReader : public FileReader {
public:
    DeltaFileReader();
    ~DeltaFileReader() override;

    void setFile(const ustring& patch_file, const ustring& basis_file);
    void setNewFile(const ustring& file) { setCopyHandler(file); }
    void setReverseDeltaFile(const ustring& file);
    void setHashString(ustring& result) { setMD4HashHandler(result); }
    void setSignature(const ustring& file, uint32_t block_size, uint32_t hash_size) {
        setSignatureHandler(file, block_size, hash_size);
    }

    // A patch that stops early (truncated, a reserved command, a command
    // that cannot be carried out) still gives SUCCESS with the new file as
    // far as it got: callers verify the new file by its hash, or ask
    // isComplete(). An output that cannot take its bytes (the new file, the
    // signature, a full disk) gives ERROR_HANDLER_CALL, whether the patch
    // was complete or not.
    int readFile() override;

    // Whether the last readFile() reached the end command of the patch.
    bool isComplete() const;

private:
    int validateInput();
    int readPatchCommand(PatchCommand& cmd);
    int doPatchCommand(const PatchCommand& cmd, uint8_t* work);
    int writeReverseDelta(uint8_t* work);
    void closeFiles();

    std::unique_ptr<DeltaFileReaderImpl> impl;
};
