// Base64 in both alphabets: known texts, size queries, refused inputs and a
// decoder that does not validate.
#include "serialize/Base64.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using zem::vfs::Base64;
using zem::vfs::uint64;

namespace {

uint64 const kNul = ~uint64(0), kWideNul = ~uint64(0) - 1;

using Op = std::function<uint64(char const *, uint64, char *, uint64)>;
Op const enc = Base64::encode, enc_ex = Base64::encode_ex, dec = Base64::decode,
         dec_ex = Base64::decode_ex;

// Encodes or decodes `in` into a buffer of `room` bytes (null for a size
// query); "<result>:<text written>", and "#" marks bytes left untouched.
std::string run(Op const &op, std::string const &in, uint64 length, int room) {
    std::string out(room < 0 ? 0 : room + 1, '#');
    uint64 n = op(in.c_str(), length, room < 0 ? nullptr : &out[0], room < 0 ? 0 : room);
    return std::to_string(n) + ":" + out;
}

} // namespace

TEST(Base64, Table) {
    std::string const fb("\xFB\xFF", 2);
    // clang-format off
    struct { Op op; std::string in; uint64 length; int room; std::string result; } const cases[] = {
        {enc, "abc", 3, 4, "4:YWJj#"},
        {enc, "ab", 2, 4, "4:YWI=#"},
        {enc, "a", 1, 4, "4:YQ==#"},
        {enc, "fooba", 5, 8, "8:Zm9vYmE=#"},
        {enc, fb, 2, 4, "4:+/8=#"},
        {enc_ex, fb, 2, 4, "4:+_8=#"},
        {enc_ex, "\xFF\xFF\xFF", 3, 4, "4:____#"},
        {enc, "0123456789", 10, -1, "16:"},
        {enc, "0123456789", 10, 15, "0:################"},
        {enc, "abc", kNul, 4, "4:YWJj#"},
        {enc, "", kNul, 4, "0:#####"},
        {enc, "abc", 0, 4, "0:#####"},
        {enc, "abc", kWideNul, 8, "0:#########"},
        {dec, "+/8=", 4, 2, "2:" + fb + "#"},
        {dec, "+_8=", 4, 2, "2:" + fb + "#"},
        {dec_ex, "YQ==", 4, 3, "1:a###"},
        {dec, "YWJjYQ", 6, 8, "0:#########"},
        {dec, "YWJjYQ==", 8, -1, "4:"},
        {dec, "YWJj", 4, 2, "0:###"},
        {dec, "YQ==", kNul, 1, "1:a#"},
        {dec, "!!!!", 4, 3, "3:\xFF\xFF\xFF#"},
        {dec, "A=AA", 4, 3, std::string("3:\0\0\0#", 6)},
        {dec, "====", 4, 1, std::string("1:\0#", 4)},
        {dec, "A=A=", 4, 2, std::string("2:\0\0#", 5)},
        {dec, "YQ==", kWideNul, 4, "0:#####"}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.result, run(c.op, c.in, c.length, c.room));
    }
    EXPECT_EQ(0u, Base64::encode(nullptr, 3, nullptr, 0) + Base64::decode(nullptr, 4, nullptr, 0));
    EXPECT_EQ(0u, Base64::encode("x", 3, nullptr, 16));
    EXPECT_EQ(0u, Base64::encode("x", kNul - 2, nullptr, 0)); // the size would overflow
    EXPECT_EQ(0u, Base64::encode("x", kNul / 4 * 3 + 1, nullptr, 0));
    EXPECT_EQ(kNul / 4 * 4, Base64::encode("x", kNul / 4 * 3, nullptr, 0));
}

TEST(Base64, EveryByteAndLengthRoundTripsInBothAlphabets) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i * 37 + 11);
    for (std::size_t n = 1; n <= all.size(); n += n < 64 ? 1 : 29) {
        for (bool variant : {false, true}) {
            std::string in = all.substr(0, n),
                        text = run(variant ? enc_ex : enc, in, n, int(n + 2) / 3 * 4);
            text = text.substr(text.find(':') + 1, (n + 2) / 3 * 4);
            EXPECT_EQ(std::to_string(n) + ":" + in + "#",
                      run(variant ? dec : dec_ex, text, text.size(), int(n)));
        }
    }
}
