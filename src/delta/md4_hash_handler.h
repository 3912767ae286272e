// Computes the MD4 digest of the data passing through a reader and hands it
// to the caller's string as 32 lower-case hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ustring.h"
#include "delta/md4.h"

class MD4HashHandler {
public:
    explicit MD4HashHandler(ustring& result_string);

    int begin();
    int update(const uint8_t* data, size_t length);
    int wait() { return 0; }
    int end();  // sets the caller's string

private:
    Md4 md4;
    uint8_t result[Md4::DIGEST_SIZE] = {};
    ustring& result_string;
};
