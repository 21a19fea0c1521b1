// Frame pieces as the Stream writes them, for frames built by hand, and an
// in-memory peer: written bytes go to `out_`, reads come from `in_`; a read
// past the end fails like a closed pipe (error 1109) when `closed_` is set,
// otherwise it simply ends like a file.
#pragma once

#include "serialize/Stream.h"
#include "support/MemoryStreamBuf.h"

#include <string>

namespace zem {
namespace vfs {
namespace test {

auto const i4 = [](int v) { return "i:4:" + std::string(reinterpret_cast<char *>(&v), 4); };
auto const u8 = [](uint64 v) { return "I:8:" + std::string(reinterpret_cast<char *>(&v), 8); };
auto const text = [](std::string const &t) { return "s::" + t + std::string(1, '\0'); };
auto const resp = [](int id, int error) { return "v:Response:" + i4(id) + i4(error); };

inline std::string frame_of(Variable const &v) {
    MemoryStreamBuf buf;
    Stream s(buf);
    v.serialize(s);
    return buf.bytes();
}

struct PeerBuf : MemoryStreamBuf {
    PeerBuf(std::string in, bool closed) : MemoryStreamBuf(std::move(in)), closed_(closed) {}
    int error() const override { return error_; }
    uint64 put(void const *d, uint64 n) override {
        out_.append(static_cast<char const *>(d), std::size_t(n));
        return n;
    }
    uint64 get(void *d, uint64 n) override {
        n = MemoryStreamBuf::get(d, n);
        error_ = n == 0 && closed_ ? 1109 : error_;
        return n;
    }
    uint64 peek(void *, uint64) override { return 0; }
    std::string out_;
    bool closed_;
    int error_ = 0;
};

} // namespace test
} // namespace vfs
} // namespace zem
