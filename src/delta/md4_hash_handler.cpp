#include "delta/md4_hash_handler.h"

MD4HashHandler::MD4HashHandler(ustring& r) : result_string(r) {}

int MD4HashHandler::begin() {
    md4.init();
    return 0;
}

int MD4HashHandler::update(const uint8_t* data, size_t length) {
    md4.update(data, length);
    return 0;
}

int MD4HashHandler::end() {
    md4.final(result);
    result_string = Md4::toHex(result);
    return 0;
}
