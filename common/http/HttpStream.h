// One HTTP exchange on one connection, as HttpSession hands it to the caller.
//
// The stream parses the response head (status line and the four headers it
// knows) and tells the caller how to read the body; the caller reads the body
// itself through read():
//   - not chunked: read() in pieces of at most query_size() bytes until
//     content_size() bytes have arrived, or, when content_size() is all bits
//     set (no length given), until read() returns 0 or less;
//   - chunked: repeat n = query_size(); n == 0 ends the body, all bits set is
//     a failure, otherwise read exactly n bytes.
// Then release() the stream. The byte transport belongs to the concrete
// streams made by the session (plain TCP or TLS).
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {
namespace http {

class HttpSession;

class ZEM_VFS_API HttpStream {
public:
    // Sends bytes; the count sent, 0 or a negative value on failure. At most
    // 2^31 - 1 bytes go out in one call.
    virtual int64 write(char const *data, uint64 size) = 0;
    // Receives up to `size` bytes (at most 2^31 - 1); the count received, 0 at
    // the end of the connection, negative on failure.
    virtual int64 read(char *buffer, uint64 size) = 0;
    // The "Content-Length:" value widened with its sign: all bits set when the
    // response gave none.
    virtual uint64 content_size();
    // Size of the next body piece: 8192 when the body is not chunked, else the
    // next chunk size (0 at the last chunk, all bits set on failure).
    virtual uint64 query_size();
    // The connected socket; all bits set for a stream without one.
    virtual uint64 socket();
    // Reads one text line: stores at most `size` - 1 characters and a NUL and
    // returns the count stored. A line ends at LF, CR, CR LF or a NUL byte,
    // which is consumed but not stored. An empty line, the end of the
    // connection and an error all give 0; a longer line comes in pieces.
    // A `size` of 0 stores nothing and returns 0.
    virtual uint64 readline(char *buffer, uint64 size) = 0;

    // True once the response said "Transfer-Encoding: chunked".
    bool query_trunked() const;

    // Ends the stream and closes its connection. Use this, never delete.
    void release();
    // The same, for a pointer that may be null (a null stream is ignored).
    static void release(HttpStream *stream);

    HttpStream(HttpStream const &) = delete;
    HttpStream &operator=(HttpStream const &) = delete;

protected:
    explicit HttpStream(HttpSession *session);
    virtual ~HttpStream();

    // Reads and parses the response head. True for status "200" and "302";
    // any other status is stored as the session's error and gives false, as
    // does a missing status line or one without a blank. Records
    // "Set-Cookie:" values and the "Location:" value in the session.
    bool recv();

private:
    friend class HttpSession;

    HttpSession *session_;
    int content_length_;
    bool chunked_;
};

} // namespace http
} // namespace vfs
} // namespace zem
