#include "delta/file_reader.h"

#include "base/abort_flag.h"

#include "delta/copy_handler.h"
#include "delta/delta_handler.h"
#include "delta/md4_hash_handler.h"
#include "delta/signature_handler.h"

FileReader::FileReader() = default;

FileReader::~FileReader() {
    delete copy_handler;
    delete md4_hash_handler;
    delete signature_handler;
    delete delta_handler;
}

void FileReader::setCopyHandler(const ustring& file) {
    delete copy_handler;
    copy_handler = new CopyHandler(file);
}

void FileReader::setMD4HashHandler(ustring& result) {
    delete md4_hash_handler;
    md4_hash_handler = new MD4HashHandler(result);
}

void FileReader::setSignatureHandler(const ustring& file, uint32_t block_size, uint32_t hash_size) {
    delete signature_handler;
    signature_handler = new SignatureHandler(file, block_size, hash_size);
}

void FileReader::setDeltaHandler(const ustring& delta_file, const ustring& signature_file) {
    delete delta_handler;
    delta_handler = new DeltaHandler(delta_file, signature_file);
}

bool FileReader::isAborted() const {
    return AbortRequested(abort_flag);
}

int FileReader::begin() {
    bool ok = true;
    if (copy_handler && copy_handler->begin() != 0) ok = false;
    if (delta_handler && delta_handler->begin() != 0) ok = false;
    if (signature_handler && signature_handler->begin() != 0) ok = false;
    if (md4_hash_handler && md4_hash_handler->begin() != 0) ok = false;
    return ok ? SUCCESS : ERROR_HANDLER_CALL;
}

int FileReader::update(const uint8_t* data, size_t length) {
    bool ok = true;
    if (copy_handler && copy_handler->update(data, length) != 0) ok = false;
    if (delta_handler && delta_handler->update(data, length) != 0) ok = false;
    if (signature_handler && signature_handler->update(data, length) != 0) ok = false;
    if (md4_hash_handler && md4_hash_handler->update(data, length) != 0) ok = false;
    return ok ? SUCCESS : ERROR_HANDLER_CALL;
}

int FileReader::wait() {
    bool ok = true;
    if (copy_handler && copy_handler->wait() != 0) ok = false;
    if (delta_handler && delta_handler->wait() != 0) ok = false;
    if (signature_handler && signature_handler->wait() != 0) ok = false;
    return ok ? SUCCESS : ERROR_HANDLER_CALL;
}

int FileReader::end() {
    bool ok = true;
    if (copy_handler && copy_handler->end() != 0) ok = false;
    if (delta_handler && delta_handler->end() != 0) ok = false;
    if (signature_handler && signature_handler->end() != 0) ok = false;
    if (md4_hash_handler && md4_hash_handler->end() != 0) ok = false;
    return ok ? SUCCESS : ERROR_HANDLER_CALL;
}
