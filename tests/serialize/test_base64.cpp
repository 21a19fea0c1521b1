#include "../../common/serialize/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using zem::vfs::Base64;
using zem::vfs::uint64;

namespace {

const uint64 kNul = static_cast<uint64>(-1);
const uint64 kWideNul = static_cast<uint64>(-2);

std::string encoded(std::string const &bytes, bool variant = false) {
    std::string out(bytes.size() / 3 * 4 + 8, '\0');
    uint64 n = variant ? Base64::encode_ex(bytes.data(), bytes.size(), &out[0], out.size())
                       : Base64::encode(bytes.data(), bytes.size(), &out[0], out.size());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string decoded(std::string const &text, bool variant = false) {
    std::string out(text.size() / 4 * 3 + 8, '\0');
    uint64 n = variant ? Base64::decode_ex(text.data(), text.size(), &out[0], out.size())
                       : Base64::decode(text.data(), text.size(), &out[0], out.size());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

} // namespace

TEST(Base64Encode, KnownVectors) {
    EXPECT_EQ(encoded("abc"), "YWJj");
    EXPECT_EQ(encoded("ab"), "YWI=");
    EXPECT_EQ(encoded("a"), "YQ==");
    EXPECT_EQ(encoded("foob"), "Zm9vYg==");
    EXPECT_EQ(encoded("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encoded("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encoded("\xFF\xFF\xFF"), "////");
}

TEST(Base64Encode, AlphabetsDifferOnlyInLastCharacter) {
    EXPECT_EQ(encoded("\xFB\xFF"), "+/8=");
    EXPECT_EQ(encoded("\xFB\xFF", true), "+_8=");
    EXPECT_EQ(encoded("\xFF\xFF\xFF", true), "____");
    for (std::string text : {"+/8=", "+_8="}) {
        EXPECT_EQ(decoded(text), "\xFB\xFF") << text;
        EXPECT_EQ(decoded(text, true), "\xFB\xFF") << text;
    }
}

TEST(Base64Encode, SizeQueryAndShortDestination) {
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    unsigned char src[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(Base64::encode(src, 10, nullptr, 0), 16u);
    EXPECT_EQ(Base64::encode_ex(src, 10, nullptr, 0), 16u);
    EXPECT_EQ(Base64::encode(src, 10, nullptr, 16), 0u);
    EXPECT_EQ(Base64::encode(src, 10, buf, 15), 0u);
    EXPECT_EQ(buf[0], '#') << "nothing is written on failure";
    EXPECT_EQ(Base64::encode(src, 10, buf, 16), 16u);
    EXPECT_EQ(buf[16], '#') << "no terminating NUL";
}

TEST(Base64Encode, NulTerminatedSource) {
    char buf[16] = {};
    EXPECT_EQ(Base64::encode("abc", kNul, buf, sizeof buf), 4u);
    EXPECT_EQ(std::string(buf), "YWJj");
    EXPECT_EQ(Base64::encode("abc", kNul, nullptr, 0), 4u);
    EXPECT_EQ(Base64::encode("", kNul, buf, sizeof buf), 0u);
}

TEST(Base64Encode, RefusedInputs) {
    char buf[16];
    EXPECT_EQ(Base64::encode(nullptr, 3, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::encode("abc", 0, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::encode(nullptr, 3, nullptr, 0), 0u);
    // 16-bit NUL-terminated text is not supported.
    wchar_t const wide[] = L"abc";
    EXPECT_EQ(Base64::encode(wide, kWideNul, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::encode_ex(wide, kWideNul, nullptr, 0), 0u);
}

TEST(Base64Encode, SizeArithmeticDoesNotOverflow) {
    char const one = 'x';
    uint64 const max = static_cast<uint64>(-1);
    EXPECT_EQ(Base64::encode(&one, max - 2, nullptr, 0), 0u);
    EXPECT_EQ(Base64::encode(&one, max / 4 * 3 + 1, nullptr, 0), 0u);
    EXPECT_EQ(Base64::encode(&one, max / 4 * 3, nullptr, 0), max / 4 * 4);
    char buf[8];
    EXPECT_EQ(Base64::encode(&one, max - 2, buf, sizeof buf), 0u);
}

TEST(Base64Decode, LengthAndSize) {
    unsigned char buf[16];
    EXPECT_EQ(Base64::decode("YWJjYQ", 6, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::decode("YWJjYQ", 6, nullptr, 0), 0u);
    EXPECT_EQ(Base64::decode("YQ==", 4, nullptr, 0), 1u);
    EXPECT_EQ(Base64::decode("YWJjYQ==", 8, nullptr, 0), 4u);
    EXPECT_EQ(Base64::decode("YWJj", 4, nullptr, 3), 0u);
    EXPECT_EQ(Base64::decode("YWJj", 4, buf, 2), 0u);
    EXPECT_EQ(Base64::decode(nullptr, 4, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::decode("YWJj", 0, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::decode("", kNul, buf, sizeof buf), 0u);
    EXPECT_EQ(Base64::decode("YQ==", kNul, buf, sizeof buf), 1u);
    EXPECT_EQ(buf[0], 0x61);
    wchar_t const wide[] = L"YQ==";
    EXPECT_EQ(Base64::decode(reinterpret_cast<char const *>(wide), kWideNul, buf, sizeof buf), 0u);
}

TEST(Base64Decode, DoesNotValidate) {
    std::string const ff("\xFF\xFF\xFF", 3);
    EXPECT_EQ(decoded("!!!!"), ff);
    EXPECT_EQ(decoded("!!!!", true), ff);
    // "=" inside the text counts as 0; only the last two positions shorten.
    EXPECT_EQ(decoded("A=AA"), std::string(3, '\0'));
    EXPECT_EQ(decoded("===="), std::string(1, '\0'));
    EXPECT_EQ(decoded("A=A="), std::string(2, '\0'));
}

TEST(Base64Decode, WritesExactlyTheOutputSize) {
    // Texts of many groups, to cover every step of the decoding loop.
    for (std::size_t bytes = 1; bytes <= 40; ++bytes) {
        std::string plain;
        for (std::size_t i = 0; i < bytes; ++i) {
            plain.push_back(static_cast<char>(i * 37 + 11));
        }
        std::string text = encoded(plain);
        std::vector<unsigned char> buf(bytes + 8, 0xCC);
        ASSERT_EQ(Base64::decode(text.data(), text.size(), buf.data(), bytes), bytes);
        EXPECT_EQ(std::memcmp(buf.data(), plain.data(), bytes), 0) << bytes;
        for (std::size_t i = bytes; i < buf.size(); ++i) {
            EXPECT_EQ(buf[i], 0xCC) << "byte " << i << " of " << bytes;
        }
    }
}

TEST(Base64RoundTrip, EveryByteValueAndLength) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    for (std::size_t n = 0; n <= all.size(); n += (n < 64 ? 1 : 29)) {
        std::string part = all.substr(all.size() - n);
        for (bool variant : {false, true}) {
            std::string text = encoded(part, variant);
            EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
            EXPECT_EQ(decoded(text, !variant), part) << n;
        }
    }
}
