// An in-memory StreamBuf whose reads deliver at most `chunk` bytes, as a pipe might.
#pragma once

#include "serialize/StreamBuf.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace zem::vfs::test {

class MemoryStreamBuf : public StreamBuf {
public:
    MemoryStreamBuf() = default;
    explicit MemoryStreamBuf(std::string bytes) : bytes_(std::move(bytes)) {}

    int error() const override { return error_; }
    uint64 put(void const *data, uint64 size) override {
        error_ = fail_writes_ ? 1232 : error_;
        bytes_.append(static_cast<char const *>(data), fail_writes_ ? 0 : std::size_t(size));
        return fail_writes_ ? 0 : size;
    }
    bool sync() override { return ++syncs_ > 0; }
    uint64 get(void *data, uint64 size) override {
        ++gets_;
        uint64 const n = copy(data, std::min(size, chunk_));
        pos_ += std::size_t(n);
        return n;
    }
    uint64 peek(void *data, uint64 size) override { return peekable_ ? copy(data, size) : 0; }
    void close() override {}

    std::string const &bytes() const { return bytes_; }
    std::string unread() const { return bytes_.substr(pos_); }
    void set_chunk(uint64 chunk) { chunk_ = chunk; }
    void set_peekable(bool on) { peekable_ = on; }
    void set_fail_writes(bool on) { fail_writes_ = on; }
    int syncs() const { return syncs_; }
    uint64 gets() const { return gets_; }

private:
    uint64 copy(void *data, uint64 size) const {
        uint64 const n = std::min<uint64>(size, bytes_.size() - pos_);
        std::memcpy(data, bytes_.data() + pos_, std::size_t(n));
        return n;
    }
    std::string bytes_;
    std::size_t pos_ = 0;
    uint64 chunk_ = ~0ull, gets_ = 0;
    bool peekable_ = true, fail_writes_ = false;
    int error_ = 0, syncs_ = 0;
};

inline std::string hex(std::string const &bytes) {
    static char const digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes)
        out += std::string(out.empty() ? "" : " ") + digits[c >> 4] + digits[c & 15];
    return out;
}

} // namespace zem::vfs::test
