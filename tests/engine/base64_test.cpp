#include "engine/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string encode(const std::string& bytes, int32_t* returned = nullptr) {
    std::vector<char> out(base64EncodedLength(static_cast<int32_t>(bytes.size())) + 4, '#');
    const int32_t r = base64Encode(out.data(), reinterpret_cast<const uint8_t*>(bytes.data()),
                                   static_cast<int32_t>(bytes.size()));
    if (returned != nullptr) *returned = r;
    EXPECT_EQ(out[r], '#') << "wrote past its own count";
    return out.data();
}

// Decodes into a buffer of exactly base64DecodedLength bytes, guarded after.
std::string decode(const char* text, int32_t* returned) {
    const int32_t room = base64DecodedLength(text);
    std::vector<uint8_t> out(room + 4, 0xEE);
    *returned = base64Decode(out.data(), text);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[room + i], 0xEE) << "wrote past the room";
    EXPECT_EQ(out[*returned], 0) << "no NUL after the bytes";
    return std::string(reinterpret_cast<char*>(out.data()), *returned);
}

}  // namespace

struct Case {
    const char* input;
    const char* output;
    int32_t returned;
};

TEST(Base64, EncodingPadsToWholeGroups) {
    const Case cases[] = {{"Man", "TWFu", 5},
                          {"Ma", "TWE=", 5},
                          {"M", "TQ==", 5},
                          {"", "", 1},
                          {"\xfb\xff\xbf", "+/+/", 5}};
    for (const Case& c : cases) {
        int32_t r = 0;
        EXPECT_EQ(encode(c.input, &r), c.output) << c.input;
        EXPECT_EQ(r, c.returned) << c.input;
    }
    EXPECT_EQ(base64EncodedLength(0), 1);
    EXPECT_EQ(base64EncodedLength(4), 9);
}

TEST(Base64, DecodedLengthCountsOnlyTheAlphabetPrefix) {
    EXPECT_EQ(base64DecodedLength("TWFu"), 4);
    EXPECT_EQ(base64DecodedLength("TQ=="), 4);
    EXPECT_EQ(base64DecodedLength(""), 1);
    EXPECT_EQ(base64DecodedLength("TWFuTQ"), 7);
    EXPECT_EQ(base64DecodedLength("TW Fu"), 4);
}

TEST(Base64, DecodingStopsAtTheFirstByteOutsideTheAlphabet) {
    const Case cases[] = {
        {"TQ==", "M", 1},         {"TWFuTW", "ManM", 4}, {"T", "", 0}, {"", "", 0},
        {"TWFu\nTWFu", "Man", 3}, {"TWFuT", "Man", 3},  // lone last: nothing
        {"\xff\x80TWFu", "", 0}};
    for (const Case& c : cases) {
        int32_t r = -1;
        EXPECT_EQ(decode(c.input, &r), c.output) << c.input;
        EXPECT_EQ(r, c.returned) << c.input;
    }
}

TEST(Base64, RandomBytesSurviveARoundTrip) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 70, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        const std::string text = encode(bytes);
        ASSERT_EQ(text.size() + 1, static_cast<size_t>(base64EncodedLength(bytes.size())));
        int32_t r = -1;
        ASSERT_EQ(decode(text.c_str(), &r), bytes) << "round " << round;
        ASSERT_EQ(r, static_cast<int32_t>(bytes.size()));
    }
}
