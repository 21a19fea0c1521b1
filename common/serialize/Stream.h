// The tagged serialization stream on which requests, responses and policy
// trees travel between the product's processes.
//
// Every value is a tag letter and a colon, for some kinds a decimal field and a
// second colon, then the raw little-endian bytes of the value:
//   c: char/bool   b: unsigned char   C: wchar_t   i:<w>: / I:<w>: integers
//   s:: text + 0x00   S:: wide text + 0x0000   s:0: / S:0: null text
//   e:<n>: error code   v:<type>: object   n: no object   f: finish
#pragma once

#include "../config.h"

#include <string>

namespace zem {
namespace vfs {

class StreamBuf;
class Variable;

// An error value; travels as the text field of its tag.
struct ErrorCode {
    ErrorCode(int value = 0) : code(value) {}
    std::int32_t code;
};

// Formats values onto a StreamBuf and reads them back. The stream owns no
// bytes and never closes its buffer. Bytes read from a peer are hostile: the
// readers never allocate more than the limits below, never nest object loads
// deeper than max_load_depth and fail the stream (error() becomes
// error_malformed) when a peer exceeds them. Bytes that end inside a value a
// reader asked for fail it too (error_truncated), so every loader built on the
// stream refuses a cut frame; a tag that does not match is no failure and
// stays pending for the next reader.
static_assert(sizeof(long) == 4, "long travels in the 32-bit forms");

class ZEM_VFS_API Stream {
public:
    enum StreamTags : int { tag_finish = 0, tag_null = 1 };

    // Longest text a reader accepts, in characters (narrow or wide).
    enum : uint64 { max_string = 16u << 20 };
    // Deepest nesting of objects inside objects that load() accepts.
    enum : int { max_load_depth = 64 };
    // Stream-level errors, in the buffers' numbering (1000 plus a system
    // error): a peer exceeded a limit (ERROR_INVALID_DATA), or the bytes
    // ended inside a value a reader asked for (ERROR_HANDLE_EOF). Once
    // failed, a stream reads nothing more; a buffer's own error wins.
    enum : int { error_malformed = 1013, error_truncated = 1038 };

    explicit Stream(StreamBuf &buffer);
    // A copy reads and writes through the same buffer and takes over the
    // pending prefix.
    Stream(Stream const &) = default;
    Stream &operator=(Stream const &) = default;

    Stream &operator<<(StreamTags const &tag);
    Stream &operator<<(char value);
    Stream &operator<<(unsigned char value);
    Stream &operator<<(bool value);
    Stream &operator<<(wchar_t value);
    Stream &operator<<(short int value);
    Stream &operator<<(unsigned short int value);
    Stream &operator<<(int value);
    Stream &operator<<(unsigned int value);
    Stream &operator<<(long long value);
    Stream &operator<<(uint64 value);
    Stream &operator<<(char const *text);
    Stream &operator<<(std::string const &text);
    Stream &operator<<(wchar_t const *text);
    Stream &operator<<(std::wstring const &text);
    Stream &operator<<(ErrorCode const &code);
    Stream &operator<<(Variable const &object);
    // `long` is 32 bits on Windows (DWORD is unsigned long): the 32-bit forms.
    // There is no form for floating-point values; `s << 1.5` does not
    // compile, and callers pick an integer or text form themselves.
    Stream &operator<<(long value) { return *this << int(value); }
    Stream &operator<<(unsigned long value) { return *this << static_cast<unsigned int>(value); }

    Stream &operator>>(char &value);
    Stream &operator>>(unsigned char &value);
    Stream &operator>>(bool &value);
    Stream &operator>>(wchar_t &value);
    Stream &operator>>(short int &value);
    Stream &operator>>(unsigned short int &value);
    Stream &operator>>(int &value);
    Stream &operator>>(unsigned int &value);
    Stream &operator>>(long long &value);
    Stream &operator>>(uint64 &value);
    Stream &operator>>(std::string &text);
    Stream &operator>>(std::wstring &text);
    Stream &operator>>(ErrorCode &code);
    Stream &operator>>(Variable *&object);
    Stream &operator>>(signed char &value) { return *this >> reinterpret_cast<char &>(value); }
    Stream &operator>>(long &value) {
        int v = int(value);
        *this >> v;
        value = v;
        return *this;
    }
    Stream &operator>>(unsigned long &value) {
        unsigned int v = static_cast<unsigned int>(value);
        *this >> v;
        value = v;
        return *this;
    }

    // Writes the object's frame, or "n:" for a null pointer.
    bool serialize(Variable const *object);
    // Reads one framed object; the caller releases it. Null for "n:", an
    // unregistered type name, a failed load or a malformed frame.
    Variable *load();

    bool good() const { return error() == 0; }
    // True when a tag that did not match the last extraction waits for the
    // next one: a loader whose field must be there treats this as malformed.
    bool pending() const { return held_ == 2; }
    int error() const;

    // printf-style text of 1 to 1023 characters, put in one piece.
    bool write(char const *format, ...);
    bool write_(void const *data, uint64 size);
    bool read_(void *data, uint64 size);
    bool until_finish() { return true; }

    StreamBuf &buffer() const { return *buffer_; }

protected:
    // For streams that are their own buffer (HandleStream): rebinds after a copy.
    void rebind(StreamBuf &buffer) { buffer_ = &buffer; }
    // The stream's own failure: 0, error_malformed or error_truncated.
    int stream_error() const {
        return !malformed_ ? 0 : (truncated_ ? int(error_truncated) : int(error_malformed));
    }

private:
    bool peek_prefix(char letter);
    bool peek_prefix(char first, char second);
    int additional_field();
    bool additional_field(char *text, int size);
    bool get_byte(char &c);
    template <class T> void read_integer(T &value);
    template <class C> void read_text(std::basic_string<C> &text);
    void fail() { malformed_ = true; }
    void cut();

    StreamBuf *buffer_;
    char prefix_[2];     // pending tag letter and the byte after it
    unsigned char held_; // bytes of prefix_ that are pending (0 to 2)
    bool malformed_;
    bool truncated_; // the failure was a short read
    int depth_;      // nesting of load() calls in progress
};

} // namespace vfs
} // namespace zem
