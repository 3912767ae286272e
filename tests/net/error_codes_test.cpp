#include "net/error_codes.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

TEST(ErrorCodes, TextsByMagnitude) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {ERR_OK, "Successful"},
        {ERR_INT, "Interrupted"},
        {ERR_IO, "I/O error"},
        {ERR_PROTO, "Protocal error"},
        {ERR_TIMEOUT, "Connection timeout"},
        {ERR_PERMISS, "no permission "},
        {ERR_PERMISS_READ_ONLY, "permission is read-only"},
        {9, "Connection timeout"},  // the sign does not matter
        {ERR_MAX, "Unknown error"},
        {-1000, "Unknown error"},
        {INT_MIN, "Unknown error"},
    };
    for (const Case& c : cases) EXPECT_EQ(std::string(GetErrorString(c.code)), c.text) << c.code;
}
