#include "Base64.h"

#include <cstdint>
#include <cstring>

namespace zem {
namespace vfs {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kVariant[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+_";

const uint64 kNarrowText = static_cast<uint64>(-1);
const uint64 kWideText = static_cast<uint64>(-2);

// Every 12-bit value spelled as its two output characters, so one group of
// three bytes takes two look-ups.
struct PairTable {
    char pair[4096][2];
};

constexpr PairTable make_pairs(char const *alphabet) {
    PairTable t{};
    for (int i = 0; i < 4096; ++i) {
        t.pair[i][0] = alphabet[i >> 6];
        t.pair[i][1] = alphabet[i & 0x3F];
    }
    return t;
}

constexpr PairTable kStandardPairs = make_pairs(kStandard);
constexpr PairTable kVariantPairs = make_pairs(kVariant);

// The one decoding table both decoders share: 6-bit values for both
// alphabets, 0 for "=", 0xFF for every other byte.
struct DecodeTable {
    unsigned char value[256];
};

constexpr DecodeTable make_decode() {
    DecodeTable t{};
    for (int i = 0; i < 256; ++i) {
        t.value[i] = 0xFF;
    }
    for (int i = 0; i < 64; ++i) {
        t.value[static_cast<unsigned char>(kStandard[i])] = static_cast<unsigned char>(i);
    }
    t.value[static_cast<unsigned char>('_')] = 63;
    t.value[static_cast<unsigned char>('=')] = 0;
    return t;
}

constexpr DecodeTable kDecode = make_decode();

// The decoding table spread per position in the group of four. With a, b, c
// and d the table values, the three bytes are (a << 2) | (b >> 4),
// (b << 4) | (c >> 2) and (c << 6) | d, each kept to 8 bits; each entry holds
// the bits one character contributes, byte 1 lowest, so a group decodes to
// the OR of four look-ups and is stored little-endian.
struct SpreadTable {
    std::uint32_t at[4][256];
};

constexpr SpreadTable make_spread() {
    SpreadTable t{};
    for (int i = 0; i < 256; ++i) {
        std::uint32_t v = kDecode.value[i];
        t.at[0][i] = (v << 2) & 0xFF;
        t.at[1][i] = (v >> 4) | (((v << 4) & 0xFF) << 8);
        t.at[2][i] = ((v >> 2) << 8) | (((v << 6) & 0xFF) << 16);
        t.at[3][i] = v << 16;
    }
    return t;
}

constexpr SpreadTable kSpread = make_spread();

inline std::uint32_t decode_group(unsigned char const *s) {
    return kSpread.at[0][s[0]] | kSpread.at[1][s[1]] | kSpread.at[2][s[2]] | kSpread.at[3][s[3]];
}

inline void put_pair(char *d, PairTable const &t, std::uint32_t v) {
    std::memcpy(d, t.pair[v], 2);
}

inline void encode_group(unsigned char const *s, char *d, PairTable const &t) {
    std::uint32_t v = (std::uint32_t(s[0]) << 16) | (std::uint32_t(s[1]) << 8) | s[2];
    put_pair(d, t, v >> 12);
    put_pair(d + 2, t, v & 0xFFF);
}

// Resolves the text lengths -1 and -2; false when the length cannot be used.
[[nodiscard]] bool text_length(char const *src, uint64 &length) {
    if (length == kWideText) {
        return false;
    }
    if (length == kNarrowText) {
        length = std::strlen(src);
    }
    return length != 0;
}

uint64 encode_with(void const *src, uint64 length, char *dst, uint64 dst_size, char const *alphabet,
                   PairTable const &pairs) {
    if (!src || !text_length(static_cast<char const *>(src), length)) {
        return 0;
    }
    uint64 groups = length / 3 + (length % 3 != 0 ? 1 : 0);
    if (groups > static_cast<uint64>(-1) / 4) {
        return 0;
    }
    uint64 const size = groups * 4;
    if (!dst) {
        return dst_size == 0 ? size : 0;
    }
    if (dst_size < size) {
        return 0;
    }

    unsigned char const *s = static_cast<unsigned char const *>(src);
    char *d = dst;
    uint64 full = length / 3;
    for (; full >= 4; full -= 4, s += 12, d += 16) {
        encode_group(s, d, pairs);
        encode_group(s + 3, d + 4, pairs);
        encode_group(s + 6, d + 8, pairs);
        encode_group(s + 9, d + 12, pairs);
    }
    for (; full > 0; --full, s += 3, d += 4) {
        encode_group(s, d, pairs);
    }

    uint64 const rest = length % 3;
    if (rest == 1) {
        d[0] = alphabet[s[0] >> 2];
        d[1] = alphabet[(s[0] & 0x03) << 4];
        d[2] = '=';
        d[3] = '=';
    } else if (rest == 2) {
        d[0] = alphabet[s[0] >> 2];
        d[1] = alphabet[((s[0] & 0x03) << 4) | (s[1] >> 4)];
        d[2] = alphabet[(s[1] & 0x0F) << 2];
        d[3] = '=';
    }
    return size;
}

uint64 decode_any(char const *src, uint64 length, void *dst, uint64 dst_size) {
    if (!src || !text_length(src, length) || length % 4 != 0) {
        return 0;
    }
    uint64 size = length / 4 * 3;
    if (src[length - 1] == '=') {
        --size;
    }
    if (src[length - 2] == '=') {
        --size;
    }
    if (!dst) {
        return dst_size == 0 ? size : 0;
    }
    if (dst_size < size) {
        return 0;
    }

    unsigned char const *s = reinterpret_cast<unsigned char const *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    // Every group but the last stores four bytes: the fourth is overwritten
    // by the next group and always lies within the output.
    uint64 body = length / 4 - 1;
    for (; body >= 4; body -= 4, s += 16, d += 12) {
        std::uint32_t w0 = decode_group(s);
        std::uint32_t w1 = decode_group(s + 4);
        std::uint32_t w2 = decode_group(s + 8);
        std::uint32_t w3 = decode_group(s + 12);
        std::memcpy(d, &w0, 4);
        std::memcpy(d + 3, &w1, 4);
        std::memcpy(d + 6, &w2, 4);
        std::memcpy(d + 9, &w3, 4);
    }
    for (; body > 0; --body, s += 4, d += 3) {
        std::uint32_t w = decode_group(s);
        std::memcpy(d, &w, 4);
    }

    std::uint32_t w = decode_group(s);
    uint64 const left = size - static_cast<uint64>(d - static_cast<unsigned char *>(dst));
    for (uint64 i = 0; i < left; ++i, w >>= 8) {
        d[i] = static_cast<unsigned char>(w);
    }
    return size;
}

} // namespace

uint64 Base64::encode(void const *src, uint64 length, char *dst, uint64 dst_size) {
    return encode_with(src, length, dst, dst_size, kStandard, kStandardPairs);
}

uint64 Base64::encode_ex(void const *src, uint64 length, char *dst, uint64 dst_size) {
    return encode_with(src, length, dst, dst_size, kVariant, kVariantPairs);
}

uint64 Base64::decode(char const *src, uint64 length, void *dst, uint64 dst_size) {
    return decode_any(src, length, dst, dst_size);
}

uint64 Base64::decode_ex(char const *src, uint64 length, void *dst, uint64 dst_size) {
    return decode_any(src, length, dst, dst_size);
}

} // namespace vfs
} // namespace zem
