// Used by the loaders of the policy tree to read every field whole. A stream
// that ends or breaks inside a value leaves the target unchanged and may
// still look good; the loaders therefore watch the bytes each read takes and
// accept a field only when its tag, its length field and all of its value
// arrived. A cut policy file then fails to load instead of loading with
// default fields, and a huge count in front of a short or stuck stream
// neither loops for ever nor allocates for what never came.
#pragma once

#include "../../serialize/Stream.h"
#include "../../serialize/StreamBuf.h"
#include "../../serialize/Variable.h"

#include <cstdlib>
#include <string>

namespace zem {
namespace vfs {
namespace detail {

// Forwards to another buffer, counts the bytes taken from it since the last
// mark and keeps the first of them and the last one.
class CountingBuf : public StreamBuf {
public:
    explicit CountingBuf(StreamBuf &inner) : inner_(inner), taken_(0), last_(0) {}
    ~CountingBuf() = default;
    CountingBuf(CountingBuf const &) = delete;
    CountingBuf &operator=(CountingBuf const &) = delete;

    int error() const override { return inner_.error(); }
    uint64 put(void const *data, uint64 size) override { return inner_.put(data, size); }
    bool sync() override { return inner_.sync(); }
    uint64 get(void *data, uint64 size) override {
        uint64 n = inner_.get(data, size);
        if (n != 0 && n <= size) {
            char const *bytes = static_cast<char const *>(data);
            taken_ += n;
            if (head_.size() < head_limit)
                head_.append(
                    bytes,
                    std::size_t(n < head_limit - head_.size() ? n : head_limit - head_.size()));
            last_ = bytes[n - 1];
        }
        return n;
    }
    uint64 peek(void *data, uint64 size) override { return inner_.peek(data, size); }
    void close() override { inner_.close(); }

    void mark() {
        taken_ = 0;
        head_.clear();
        last_ = 0;
    }
    uint64 taken() const { return taken_; }
    std::string const &head() const { return head_; }
    char last() const { return last_; }

    // Enough for a tag with the longest field the reader collects, and for
    // a frame head with the longest type name.
    enum : std::size_t { head_limit = 1100 };

private:
    StreamBuf &inner_;
    uint64 taken_;
    std::string head_;
    char last_;
};

// Takes over the state of a stream (pending prefix, nesting depth, failure)
// and reads through a counting buffer; hands the state back to that stream
// when it ends, on every path. Each read succeeds only when the value came
// whole.
class FieldReader : public Stream {
public:
    explicit FieldReader(Stream &outer) : Stream(outer), outer_(outer), counter_(outer.buffer()) {
        rebind(counter_);
    }
    ~FieldReader() {
        rebind(outer_.buffer());
        outer_ = static_cast<Stream const &>(*this);
    }
    FieldReader(FieldReader const &) = delete;
    FieldReader &operator=(FieldReader const &) = delete;

    // A narrow text; `out` is replaced only by a whole one.
    [[nodiscard]] bool text(std::string &out) {
        std::string value;
        counter_.mark();
        *this >> value;
        if (!good() || !whole_text())
            return false;
        out.swap(value);
        return true;
    }

    // An integer in any width the reader accepts; `out` is replaced only by
    // a whole one.
    template <class T> [[nodiscard]] bool integer(T &out) {
        T value = out;
        counter_.mark();
        *this >> value;
        if (!good() || !whole_integer())
            return false;
        out = value;
        return true;
    }

    // One object frame. Returns false when the frame was cut or broken, or
    // its object failed to load; true with a null `out` for a null frame or
    // a type name that nothing registered.
    [[nodiscard]] bool object(Variable *&out) {
        counter_.mark();
        out = load();
        if (out != nullptr)
            return good();
        if (!good())
            return false;
        std::string const &h = counter_.head();
        if (counter_.taken() == 2 && h == "n:")
            return true;
        std::size_t end = field_end(h);
        if (h.compare(0, 2, "v:") != 0 || end == std::string::npos || counter_.taken() != end + 1)
            return false;
        if (end == 2)
            return true; // empty type name: a null object
        Variable *known = Variable::new_variable(h.substr(2, end - 2).c_str());
        if (known == nullptr)
            return true;
        known->release();
        return false;
    }

private:
    // The end of the field that follows a two-byte prefix: its ":" or NUL.
    static std::size_t field_end(std::string const &h) {
        if (h.size() < 3)
            return std::string::npos;
        for (std::size_t i = 2; i < h.size(); ++i) {
            if (h[i] == ':' || h[i] == '\0')
                return i;
        }
        return std::string::npos;
    }

    // The field as a whole decimal number.
    [[nodiscard]] static bool number(std::string const &field, long long &value) {
        char *rest = nullptr;
        value = std::strtoll(field.c_str(), &rest, 10);
        return rest != nullptr && *rest == '\0';
    }

    bool whole_integer() const {
        std::string const &h = counter_.head();
        std::size_t end = field_end(h);
        long long width = 0;
        if (end == std::string::npos || (h[0] != 'i' && h[0] != 'I') || h[1] != ':' ||
            !number(h.substr(2, end - 2), width))
            return false;
        return (width == 2 || width == 4 || width == 8) &&
               counter_.taken() == end + 1 + uint64(width);
    }

    bool whole_text() const {
        std::string const &h = counter_.head();
        std::size_t end = field_end(h);
        if (end == std::string::npos || h[0] != 's' || h[1] != ':')
            return false;
        long long count = -1;
        if ((end > 2 || h[end] == '\0') && !number(h.substr(2, end - 2), count))
            return false;
        if (count == -1) // terminated: the terminator arrived
            return counter_.taken() > end + 1 && counter_.last() == '\0';
        return counter_.taken() == end + 1 + (count > 0 ? uint64(count) : 0);
    }

    Stream &outer_;
    CountingBuf counter_;
};

} // namespace detail
} // namespace vfs
} // namespace zem
