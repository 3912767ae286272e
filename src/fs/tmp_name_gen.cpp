#include "fs/tmp_name_gen.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char kNameAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

}  // namespace

std::mutex TmpNameGen::m_lock;

TmpNameGen& TmpNameGen::getInstance() {
    static TmpNameGen tmp_name;
    return tmp_name;
}

TmpNameGen::TmpNameGen() {
    memset(m_s_box, 0, sizeof(m_s_box));
    memset(m_key, 0, sizeof(m_key));
    memset(m_buffer, 0, sizeof(m_buffer));
    get_key(m_key, sizeof(m_key));
    rc4_init(m_s_box, m_key);
}

TmpNameGen::TmpNameGen(const char* key_text) {
    memset(m_s_box, 0, sizeof(m_s_box));
    memset(m_key, 0, sizeof(m_key));
    memset(m_buffer, 0, sizeof(m_buffer));
    snprintf(reinterpret_cast<char*>(m_key), sizeof(m_key), "%s", key_text);
    rc4_init(m_s_box, m_key);
}

void TmpNameGen::get_key(unsigned char* key, size_t length) {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return;  // key stays empty: rc4_init falls back
    uint64_t ns = static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
    snprintf(reinterpret_cast<char*>(key), length, "%" PRIu64, ns);
}

void TmpNameGen::rc4_init(unsigned char* s_box, unsigned char* key) {
    for (int i = 0; i < 256; ++i) s_box[i] = static_cast<unsigned char>(i);
    if (key[0] == 0) {
        srand(static_cast<unsigned>(time(nullptr)));
        for (int i = 0; i < 256; ++i) key[i] = static_cast<unsigned char>(rand());
    }
    unsigned j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (j + s_box[i] + key[i]) & 0xFF;
        unsigned char t = s_box[i];
        s_box[i] = s_box[j];
        s_box[j] = t;
    }
}

void TmpNameGen::rc4_randomize(unsigned char* s_box, unsigned char* buffer, size_t length) {
    unsigned j = 0;
    for (size_t k = 0; k < length; ++k) {
        unsigned i = (k + 1) & 0xFF;
        j = (j + s_box[i]) & 0xFF;
        unsigned char t = s_box[i];
        s_box[i] = s_box[j];
        s_box[j] = t;
        buffer[k] = s_box[(s_box[i] + s_box[j]) & 0xFF];
    }
}

ustring TmpNameGen::getTmpName() {
    char name[9];
    lock();
    rc4_randomize(m_s_box, m_buffer, sizeof(m_buffer));
    for (int g = 0; g < 2; ++g) {
        const unsigned char* b = m_buffer + 3 * g;
        char* out = name + 4 * g;
        out[0] = kNameAlphabet[b[0] >> 2];
        out[1] = kNameAlphabet[((b[0] & 3) << 4) + (b[1] >> 4)];
        out[2] = kNameAlphabet[((b[1] & 15) << 2) + (b[2] >> 6)];
        out[3] = kNameAlphabet[b[2] & 63];
    }
    unlock();
    name[8] = 0;
    return ustring(name, 8);
}

ustring TmpNameGen::getTmpPath(const ustring& prefix) {
    return prefix + "/" + getTmpName();
}
