// Reads one file in 1 MiB chunks through the handlers set on it.
#pragma once

#include "delta/file_reader.h"

class SimpleFileReader : public FileReader {
public:
    void setFile(const ustring& f) { file = f; }
    void setCopyFile(const ustring& f) { setCopyHandler(f); }
    void setHashString(ustring& result) { setMD4HashHandler(result); }
    void setSignature(const ustring& f, uint32_t block_size, uint32_t hash_size) {
        setSignatureHandler(f, block_size, hash_size);
    }
    void setDelta(const ustring& delta_file, const ustring& signature_file) {
        setDeltaHandler(delta_file, signature_file);
    }

    int readFile() override;

private:
    ustring file;
};
