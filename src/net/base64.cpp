#include "net/base64.h"

#include <openssl/evp.h>

#include <climits>

std::string Base64Encode(const void* data, size_t len) {
    std::string out;
    if (len == 0) return out;
    // EVP_EncodeBlock takes an int length; encode in slices well below it.
    // A slice is a multiple of three bytes, so no padding lands mid-text.
    constexpr size_t kSlice = 3 * (1u << 20);
    const unsigned char* in = static_cast<const unsigned char*>(data);
    while (len > 0) {
        size_t n = len < kSlice ? len : kSlice;
        size_t at = out.size();
        out.resize(at + 4 * ((n + 2) / 3) + 1);
        int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[at]), in, static_cast<int>(n));
        out.resize(at + static_cast<size_t>(written));
        in += n;
        len -= n;
    }
    return out;
}

namespace {

bool InAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

bool Base64Decode(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0 || text.size() > static_cast<size_t>(INT_MAX)) return false;
    // EVP_DecodeBlock skips blanks and does not say how much of its output
    // is padding: check the text strictly first, then trim by the padding.
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        if (!InAlphabet(text[i])) return false;
    }
    if (text.empty()) return true;
    out.resize(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) < padding) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n) - padding);
    return true;
}
