// Base64 encoding and decoding into caller-supplied buffers.
//
// `encode` writes the standard alphabet (RFC 4648, "+" and "/"), `encode_ex`
// the variant that ends in "+" and "_". Both decoders accept either alphabet.
// Every operation returns the number of bytes produced, or 0 on failure, and
// doubles as a size query: with a null `dst` and a `dst_size` of 0 it returns
// the size it would produce. A `length` of all ones (-1) means that `src` is a
// NUL-terminated narrow string. No operation writes a terminating NUL.
//
// A `length` of -2 (NUL-terminated 16-bit text) is not supported and yields 0:
// the text would be processed as bytes, not as characters.
//
// The decoder does not validate: bytes outside both alphabets contribute the
// bits of 0xFF, and "=" inside the text counts as 0.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

class ZEM_VFS_API Base64 {
public:
    static uint64 encode(void const *src, uint64 length, char *dst, uint64 dst_size);
    static uint64 encode_ex(void const *src, uint64 length, char *dst, uint64 dst_size);
    static uint64 decode(char const *src, uint64 length, void *dst, uint64 dst_size);
    static uint64 decode_ex(char const *src, uint64 length, void *dst, uint64 dst_size);

    Base64() = delete;
};

} // namespace vfs
} // namespace zem
