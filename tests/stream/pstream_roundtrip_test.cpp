// Random trees survive encoding and decoding unchanged.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "stream_helpers.h"

namespace {

class TreeMaker {
public:
    explicit TreeMaker(uint32_t seed) : rng_(seed) {}

    PObject Make(int depth) {
        int kind = Pick(0, depth >= 5 ? 2 : 4);
        PObject x;
        switch (kind) {
            case 0:
                break;  // null
            case 1:
                x = Integer();
                break;
            case 2:
                x = ustring(Bytes(Pick(0, 1) ? Pick(0, 12) : Pick(0, 400)));
                break;
            case 3: {
                int n = Pick(0, 6);
                for (int i = 0; i < n; ++i) x.asArray().push_back(Make(depth + 1));
                if (n == 0) x.asArray();
                break;
            }
            default: {
                int n = Pick(0, 6);
                x.asMap();
                for (int i = 0; i < n; ++i) {
                    std::string key = Bytes(Pick(0, 10));
                    if (!key.empty() && key[0] == '_') key[0] = 'u';  // an underscore is not sent
                    x[ustring(key)] = Make(depth + 1);
                }
                break;
            }
        }
        return x;
    }

private:
    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    uint64_t Integer() {
        // Every width, and the edges between them.
        static const uint64_t edges[] = {0, 255, 256, 65535, 65536, 0xFFFFFFFFull, 0x100000000ull, ~0ull};
        if (Pick(0, 3) == 0) return edges[Pick(0, 7)];
        int bits = Pick(1, 64);
        uint64_t v = (uint64_t{rng_()} << 32) | rng_();
        return bits == 64 ? v : v & ((uint64_t{1} << bits) - 1);
    }

    // Any bytes but zero, which ends a string on the wire.
    std::string Bytes(int n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(Pick(1, 255));
        return s;
    }

    std::mt19937 rng_;
};

TEST(PStreamRoundTrip, RandomTreesComeBackEqual) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        PObject tree = TreeMaker(seed).Make(0);
        int sent = 1;
        std::string bytes = tidewell::testing::Encode(tree, &sent);
        ASSERT_EQ(sent, 0) << "seed " << seed;
        PObject back;
        ASSERT_EQ(tidewell::testing::Decode(bytes, back), 0) << "seed " << seed;
        ASSERT_TRUE(back == tree) << "seed " << seed << "\n" << tree.toString() << "\n" << back.toString();
    }
}

}  // namespace
