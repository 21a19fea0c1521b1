// An in-memory peer for request tests: what a stream writes is collected in
// one text, what it reads comes from another, prepared by the test. A read
// past the prepared bytes fails like a closed pipe (error 1109).
#pragma once

#include "serialize/Stream.h"
#include "serialize/StreamBuf.h"
#include "serialize/Variable.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace zem {
namespace vfs {
namespace test {

class DuplexBuf : public StreamBuf {
public:
    explicit DuplexBuf(std::string incoming = std::string()) : in_(std::move(incoming)) {}

    int error() const override { return error_; }
    uint64 put(void const *data, uint64 size) override {
        ++puts_;
        out_.append(static_cast<char const *>(data), std::size_t(size));
        return size;
    }
    bool sync() override { return true; }
    uint64 get(void *data, uint64 size) override {
        ++gets_;
        uint64 n = std::min<uint64>(size, in_.size() - pos_);
        if (n == 0) {
            error_ = 1109;
            return 0;
        }
        std::memcpy(data, in_.data() + pos_, std::size_t(n));
        pos_ += std::size_t(n);
        return n;
    }
    uint64 peek(void *, uint64) override { return 0; }
    void close() override {}

    std::string const &written() const { return out_; }
    std::string unread() const { return in_.substr(pos_); }
    int puts() const { return puts_; }
    int gets() const { return gets_; }

private:
    std::string in_;
    std::string out_;
    std::size_t pos_ = 0;
    int error_ = 0;
    int puts_ = 0;
    int gets_ = 0;
};

// The bytes of an object's frame.
inline std::string frame_of(Variable const &object) {
    DuplexBuf buf;
    Stream s(buf);
    object.serialize(s);
    return buf.written();
}

// Frame pieces as the Stream writes them, for frames built by hand.
inline std::string i4(int v) {
    std::string s("i:4:");
    s.append(reinterpret_cast<char const *>(&v), 4);
    return s;
}

inline std::string u8(uint64 v) {
    std::string s("I:8:");
    s.append(reinterpret_cast<char const *>(&v), 8);
    return s;
}

inline std::string text(std::string const &t) {
    return "s::" + t + std::string(1, '\0');
}

inline std::string response_frame(int id, int error) {
    return "v:Response:" + i4(id) + i4(error);
}

} // namespace test
} // namespace vfs
} // namespace zem
