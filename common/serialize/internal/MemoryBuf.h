// A StreamBuf over memory, used where a whole frame is built or parsed in one
// piece: a request is formatted here and leaves in one write, and a server
// parses a frame it has already received. Writes append to the text; reads
// take from a byte range (the text itself unless another range is given).
// Reading past the end returns 0 and records that the reader wanted more
// (starved()), which tells a truncated frame from a malformed one.
#pragma once

#include "../StreamBuf.h"

#include <cstring>
#include <string>

namespace zem {
namespace vfs {
namespace detail {

class MemoryBuf : public StreamBuf {
public:
    MemoryBuf() : data_(nullptr), size_(0), pos_(0), starved_(false), own_(true) {}
    MemoryBuf(void const *data, uint64 size)
        : data_(static_cast<char const *>(data)), size_(size), pos_(0), starved_(false),
          own_(false) {}
    MemoryBuf(MemoryBuf const &) = delete;
    MemoryBuf &operator=(MemoryBuf const &) = delete;
    virtual ~MemoryBuf() = default;

    int error() const override { return 0; }
    uint64 put(void const *data, uint64 size) override {
        text_.append(static_cast<char const *>(data), std::size_t(size));
        return size;
    }
    bool sync() override { return true; }
    uint64 get(void *data, uint64 size) override {
        uint64 left = available();
        if (size > left) {
            starved_ = true;
            size = left;
        }
        if (size != 0) {
            std::memcpy(data, begin() + pos_, std::size_t(size));
            pos_ += size;
        }
        return size;
    }
    uint64 peek(void *data, uint64 size) override {
        uint64 left = available();
        if (size > left)
            size = left;
        if (size != 0)
            std::memcpy(data, begin() + pos_, std::size_t(size));
        return size;
    }
    void close() override {}

    std::string const &text() const { return text_; }
    std::string &text() { return text_; }
    // Bytes taken by reads so far.
    uint64 consumed() const { return pos_; }
    bool starved() const { return starved_; }

private:
    char const *begin() const { return own_ ? text_.data() : data_; }
    uint64 available() const { return (own_ ? text_.size() : size_) - pos_; }

    std::string text_;
    char const *data_;
    uint64 size_;
    uint64 pos_;
    bool starved_;
    bool own_;
};

} // namespace detail
} // namespace vfs
} // namespace zem
