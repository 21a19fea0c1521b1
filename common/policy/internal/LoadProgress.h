// Used by the loaders of the policy tree to tell whether a read took any
// bytes from the stream. A peer announces how many children or names follow;
// the loaders keep reading only while something arrives, so a huge count in
// front of a short or stuck stream neither loops for ever nor allocates for
// what never came.
#pragma once

#include "../../serialize/Stream.h"
#include "../../serialize/StreamBuf.h"

namespace zem {
namespace vfs {
namespace detail {

// Forwards to another buffer and counts the bytes taken from it.
class CountingBuf : public StreamBuf {
public:
    explicit CountingBuf(StreamBuf &inner) : inner_(inner), taken_(0) {}
    ~CountingBuf() = default;
    CountingBuf(CountingBuf const &) = delete;
    CountingBuf &operator=(CountingBuf const &) = delete;

    int error() const override { return inner_.error(); }
    uint64 put(void const *data, uint64 size) override { return inner_.put(data, size); }
    bool sync() override { return inner_.sync(); }
    uint64 get(void *data, uint64 size) override {
        uint64 n = inner_.get(data, size);
        if (n <= size)
            taken_ += n;
        return n;
    }
    uint64 peek(void *data, uint64 size) override { return inner_.peek(data, size); }
    void close() override { inner_.close(); }

    uint64 taken() const { return taken_; }

private:
    StreamBuf &inner_;
    uint64 taken_;
};

// Takes over the state of a stream (pending prefix, nesting depth, failure)
// and reads through a counting buffer; hands the state back to that stream
// when it ends, on every path.
class ProgressStream : public Stream {
public:
    explicit ProgressStream(Stream &outer)
        : Stream(outer), outer_(outer), counter_(outer.buffer()) {
        rebind(counter_);
    }
    ~ProgressStream() {
        rebind(outer_.buffer());
        outer_ = static_cast<Stream const &>(*this);
    }
    ProgressStream(ProgressStream const &) = delete;
    ProgressStream &operator=(ProgressStream const &) = delete;

    uint64 taken() const { return counter_.taken(); }

private:
    Stream &outer_;
    CountingBuf counter_;
};

} // namespace detail
} // namespace vfs
} // namespace zem
