#include "Stream.h"

#include "StreamBuf.h"
#include "Variable.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace zem {
namespace vfs {

static_assert(sizeof(wchar_t) == 2, "wide text travels as UTF-16 units");

Stream::Stream(StreamBuf &buffer)
    : buffer_(&buffer), prefix_{0, 0}, held_(0), malformed_(false), truncated_(false), depth_(0) {}

int Stream::error() const {
    int e = buffer_->error();
    return e != 0 ? e : stream_error();
}

// ---------------------------------------------------------------------------
// Raw bytes and formatted text
// ---------------------------------------------------------------------------

bool Stream::write(char const *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n <= 0 || n >= int(sizeof text))
        return false;
    return buffer_->put(text, uint64(n)) == uint64(n);
}

bool Stream::write_(void const *data, uint64 size) {
    return buffer_->put(data, size) == size;
}

bool Stream::read_(void *data, uint64 size) {
    char *p = static_cast<char *>(data);
    while (size != 0) {
        uint64 n = buffer_->get(p, size);
        if (n == 0 || n > size) {
            cut();
            return false;
        }
        p += n;
        size -= n;
    }
    return true;
}

bool Stream::get_byte(char &c) {
    if (buffer_->get(&c, 1) == 1)
        return true;
    cut();
    return false;
}

void Stream::cut() {
    if (!malformed_)
        truncated_ = true;
    malformed_ = true;
}

// ---------------------------------------------------------------------------
// Insertion
// ---------------------------------------------------------------------------

namespace {

// A tag and its value leave in one put: one system call on a pipe instead of
// two. Readers never depend on how the bytes were split.
template <class T> void put_tagged(Stream &s, char letter, T value) {
    char frame[2 + sizeof(T)] = {letter, ':'};
    std::memcpy(frame + 2, &value, sizeof value);
    s.write_(frame, sizeof frame);
}

// The "i:%d:" / "I:%d:" tags; the width is one digit (2, 4 or 8).
template <class T> void put_integer(Stream &s, bool is_signed, T value) {
    static_assert(sizeof(T) < 10, "one-digit width");
    char frame[4 + sizeof(T)] = {is_signed ? 'i' : 'I', ':', char('0' + sizeof(T)), ':'};
    std::memcpy(frame + 4, &value, sizeof value);
    s.write_(frame, sizeof frame);
}

// Texts up to this size leave with their tag in one put.
const std::size_t kSmallText = 512;

template <class C> void put_text(Stream &s, char letter, C const *text) {
    std::size_t bytes = 0;
    while (text[bytes / sizeof(C)] != C(0))
        bytes += sizeof(C);
    bytes += sizeof(C);
    if (bytes <= kSmallText) {
        char frame[3 + kSmallText] = {letter, ':', ':'};
        std::memcpy(frame + 3, text, bytes);
        s.write_(frame, 3 + bytes);
    } else {
        char const head[3] = {letter, ':', ':'};
        s.write_(head, 3);
        s.write_(text, bytes);
    }
}

// A text that holds a zero unit travels in the counted form, so it arrives
// whole instead of cut at its first zero.
template <class C> void put_string(Stream &s, char letter, std::basic_string<C> const &text) {
    if (text.find(C(0)) == std::basic_string<C>::npos) {
        put_text(s, letter, text.c_str());
        return;
    }
    s.write("%c:%llu:", letter, static_cast<unsigned long long>(text.size()));
    s.write_(text.data(), uint64(text.size()) * sizeof(C));
}

} // namespace

Stream &Stream::operator<<(StreamTags const &tag) {
    if (tag == tag_finish) {
        write_("f:", 2);
        buffer_->sync();
    } else if (tag == tag_null) {
        write_("n:", 2);
    }
    return *this;
}

Stream &Stream::operator<<(char value) {
    put_tagged(*this, 'c', value);
    return *this;
}

Stream &Stream::operator<<(unsigned char value) {
    put_tagged(*this, 'b', value);
    return *this;
}

Stream &Stream::operator<<(bool value) {
    put_tagged(*this, 'c', static_cast<unsigned char>(value ? 1 : 0));
    return *this;
}

Stream &Stream::operator<<(wchar_t value) {
    put_tagged(*this, 'C', value);
    return *this;
}

Stream &Stream::operator<<(short int value) {
    put_integer(*this, true, value);
    return *this;
}

Stream &Stream::operator<<(unsigned short int value) {
    put_integer(*this, false, value);
    return *this;
}

Stream &Stream::operator<<(int value) {
    put_integer(*this, true, value);
    return *this;
}

Stream &Stream::operator<<(unsigned int value) {
    put_integer(*this, false, value);
    return *this;
}

Stream &Stream::operator<<(long long value) {
    put_integer(*this, true, value);
    return *this;
}

Stream &Stream::operator<<(uint64 value) {
    put_integer(*this, false, value);
    return *this;
}

Stream &Stream::operator<<(char const *text) {
    if (text == nullptr) {
        write_("s:0:", 4);
    } else {
        put_text(*this, 's', text);
    }
    return *this;
}

Stream &Stream::operator<<(std::string const &text) {
    put_string(*this, 's', text);
    return *this;
}

Stream &Stream::operator<<(wchar_t const *text) {
    if (text == nullptr) {
        write_("S:0:", 4);
    } else {
        put_text(*this, 'S', text);
    }
    return *this;
}

Stream &Stream::operator<<(std::wstring const &text) {
    put_string(*this, 'S', text);
    return *this;
}

Stream &Stream::operator<<(ErrorCode const &code) {
    write("e:%d:", int(code.code));
    return *this;
}

Stream &Stream::operator<<(Variable const &object) {
    object.serialize(*this);
    return *this;
}

bool Stream::serialize(Variable const *object) {
    if (object != nullptr)
        return object->serialize(*this);
    write_("n:", 2);
    return good();
}

// ---------------------------------------------------------------------------
// Prefixes and text fields
// ---------------------------------------------------------------------------

bool Stream::peek_prefix(char letter) {
    if (malformed_)
        return false;
    while (held_ < 2) {
        uint64 n = buffer_->get(prefix_ + held_, 2 - held_);
        if (n == 0 || n > uint64(2 - held_)) {
            // The bytes ended inside or right before a value the reader
            // needs: a byte that did arrive stays pending, and the stream
            // fails so that no loader takes a cut frame for a whole one.
            cut();
            return false;
        }
        held_ = static_cast<unsigned char>(held_ + n);
    }
    if (prefix_[0] != letter)
        return false;
    held_ = 0;
    prefix_[0] = prefix_[1] = 0;
    return true;
}

bool Stream::peek_prefix(char first, char second) {
    return peek_prefix(first) || peek_prefix(second);
}

// Collects a text field after its prefix: bytes up to a colon or a zero byte
// (consumed), at most 63 of them (the byte after the 63rd is consumed and
// dropped). False when the first byte is a colon or a read fails.
bool Stream::additional_field(char *text, int size) {
    char c;
    if (!get_byte(c) || c == ':')
        return false;
    int len = 0, collected = 0;
    while (c != ':' && c != '\0') {
        if (len < size - 1)
            text[len++] = c;
        if (++collected == 63) {
            if (!get_byte(c))
                return false;
            break;
        }
        if (!get_byte(c))
            return false;
    }
    if (size > 0)
        text[len] = '\0';
    return true;
}

// The field as a number: -1 when it is empty, 0 when a read fails or the
// text is not a whole base-10 number.
int Stream::additional_field() {
    char c;
    if (!get_byte(c))
        return 0;
    if (c == ':')
        return -1;
    // Put the first byte back in front of the rest of the field.
    char text[64];
    text[0] = c;
    int len = 1;
    if (c == '\0') {
        len = 0;
    } else {
        while (len < 63) {
            if (!get_byte(c))
                return 0;
            if (c == ':' || c == '\0')
                break;
            text[len++] = c;
        }
        if (len == 63 && !get_byte(c))
            return 0;
    }
    text[len] = '\0';
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (end == nullptr || *end != '\0')
        return 0;
    if (v > 0x7FFFFFFFLL || v < -0x7FFFFFFFLL - 1)
        return 0;
    return int(v);
}

// ---------------------------------------------------------------------------
// Extraction
// ---------------------------------------------------------------------------

Stream &Stream::operator>>(char &value) {
    if (peek_prefix('c', 'b')) {
        char c;
        if (get_byte(c))
            value = c;
    }
    return *this;
}

Stream &Stream::operator>>(unsigned char &value) {
    return *this >> reinterpret_cast<char &>(value);
}

Stream &Stream::operator>>(bool &value) {
    if (!peek_prefix('c', 'b')) {
        value = false;
        return *this;
    }
    char c;
    if (get_byte(c))
        value = c != 0;
    return *this;
}

Stream &Stream::operator>>(wchar_t &value) {
    if (peek_prefix('C')) {
        wchar_t c;
        if (read_(&c, sizeof c))
            value = c;
    }
    return *this;
}

// The width field says how many bytes the writer had; the target's own type
// decides how they are extended or cut.
template <class T> void Stream::read_integer(T &value) {
    // Fast path for buffers that can look ahead: a whole well-formed value is
    // parsed from one peek and taken with one get.
    if (held_ == 0 && !malformed_) {
        unsigned char head[12];
        uint64 n = buffer_->peek(head, sizeof head);
        if (n >= 4 && (head[0] == 'i' || head[0] == 'I') && head[1] == ':' && head[3] == ':') {
            unsigned width = head[2] - '0';
            if ((width == 2 || width == 4 || width == 8) && n >= 4 + width) {
                // The peeked bytes are there: a buffer that still delivers
                // fewer is a short read, which leaves the target unchanged.
                if (!read_(head, 4 + width))
                    return;
                std::uint64_t v = 0;
                std::memcpy(&v, head + 4, width);
                if (width == 2)
                    value = T(std::is_signed<T>::value ? T(std::int16_t(v)) : T(std::uint16_t(v)));
                else if (width == 4)
                    value = T(std::is_signed<T>::value ? T(std::int32_t(v)) : T(std::uint32_t(v)));
                else
                    value = T(v);
                return;
            }
        }
    }
    if (!peek_prefix('i', 'I'))
        return;
    int width = additional_field();
    if (width == 2) {
        std::uint16_t v;
        if (read_(&v, 2))
            value = T(std::is_signed<T>::value ? T(std::int16_t(v)) : T(v));
    } else if (width == 4) {
        std::uint32_t v;
        if (read_(&v, 4))
            value = T(std::is_signed<T>::value ? T(std::int32_t(v)) : T(v));
    } else if (width == 8) {
        std::uint64_t v;
        if (read_(&v, 8))
            value = T(v);
    }
}

Stream &Stream::operator>>(short int &value) {
    read_integer(value);
    return *this;
}

Stream &Stream::operator>>(unsigned short int &value) {
    return *this >> reinterpret_cast<short int &>(value);
}

Stream &Stream::operator>>(int &value) {
    read_integer(value);
    return *this;
}

Stream &Stream::operator>>(unsigned int &value) {
    read_integer(value);
    return *this;
}

Stream &Stream::operator>>(long long &value) {
    read_integer(value);
    return *this;
}

Stream &Stream::operator>>(uint64 &value) {
    read_integer(value);
    return *this;
}

// Text after its tag: a count field of -1 (empty) reads up to the terminating
// zero unit, n > 0 reads n units; other counts read nothing. Texts longer than
// max_string fail the stream and leave the target as it was.
template <class C> void Stream::read_text(std::basic_string<C> &text) {
    int count = additional_field();
    if (count == 0 || count < -1)
        return;
    std::basic_string<C> got;
    if (count > 0) {
        if (uint64(count) > max_string) {
            fail();
            return;
        }
        // Grow with the bytes that actually arrive, never with the count.
        uint64 want = uint64(count) * sizeof(C), have = 0;
        std::string bytes;
        char chunk[4096];
        while (have < want) {
            uint64 ask = want - have < sizeof chunk ? want - have : sizeof chunk;
            uint64 n = buffer_->get(chunk, ask);
            if (n == 0 || n > ask) {
                cut(); // what arrived is kept, the stream fails
                break;
            }
            bytes.append(chunk, std::size_t(n));
            have += n;
        }
        got.resize(std::size_t(have / sizeof(C)));
        if (!got.empty())
            std::memcpy(&got[0], bytes.data(), got.size() * sizeof(C));
        text += got;
        return;
    }
    // Terminated form. A buffer that can look ahead is scanned in blocks;
    // otherwise one unit is read at a time, so no byte after the terminator
    // is ever taken from the buffer.
    C block[256];
    for (;;) {
        uint64 n = buffer_->peek(block, sizeof block) / sizeof(C);
        if (n == 0) {
            C c;
            if (!read_(&c, sizeof c))
                break;
            if (c == C(0))
                break;
            got += c;
        } else {
            uint64 i = 0;
            while (i < n && block[i] != C(0))
                ++i;
            bool ended = i < n;
            uint64 take = (ended ? i + 1 : i) * sizeof(C);
            if (buffer_->get(block, take) != take) {
                cut();
                break;
            }
            got.append(block, std::size_t(i));
            if (ended)
                break;
        }
        if (got.size() > max_string) {
            fail();
            return;
        }
    }
    text += got;
}

Stream &Stream::operator>>(std::string &text) {
    if (peek_prefix('s'))
        read_text(text);
    return *this;
}

Stream &Stream::operator>>(std::wstring &text) {
    if (peek_prefix('S'))
        read_text(text);
    return *this;
}

Stream &Stream::operator>>(ErrorCode &code) {
    if (peek_prefix('e'))
        code.code = additional_field();
    return *this;
}

Stream &Stream::operator>>(Variable *&object) {
    object = load();
    return *this;
}

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------

Variable *Stream::load() {
    if (!peek_prefix('v')) {
        peek_prefix('n');
        return nullptr;
    }
    char name[1024];
    std::size_t len = 0;
    for (;;) {
        char c;
        if (!get_byte(c))
            return nullptr;
        if (c == ':' || c == '\0')
            break;
        if (len == sizeof name - 1)
            break; // the byte after the 1023rd is consumed and dropped
        name[len++] = c;
    }
    name[len] = '\0';
    if (len == 0)
        return nullptr;
    if (depth_ >= max_load_depth) {
        fail();
        return nullptr;
    }
    Variable *object = Variable::new_variable(name);
    if (object == nullptr)
        return nullptr;
    ++depth_;
    bool ok = object->load(*this);
    --depth_;
    if (!ok) {
        object->release();
        return nullptr;
    }
    return object;
}

} // namespace vfs
} // namespace zem
