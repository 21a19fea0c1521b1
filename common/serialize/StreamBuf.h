// Byte buffers under a Stream: the abstract interface, the one over a Windows
// handle, and the stream bound to its own handle buffer.
#pragma once

#include "../config.h"

#include <string>

namespace zem {
namespace vfs {

// Moves the bytes that a Stream formats. Error codes shared by every buffer:
// 0 good, 2 no handle, 1000 plus the system error code after a failed call.
class ZEM_VFS_API StreamBuf {
public:
    virtual int error() const = 0;
    virtual uint64 put(void const *data, uint64 size) = 0;
    virtual bool sync() = 0;
    virtual uint64 get(void *data, uint64 size) = 0;
    // Reads without consuming; a buffer that cannot look ahead returns 0.
    virtual uint64 peek(void *data, uint64 size) = 0;
    virtual void close() = 0;

protected:
    StreamBuf() = default;
    StreamBuf(StreamBuf const &) = default;
    StreamBuf &operator=(StreamBuf const &) = default;
    ~StreamBuf() = default;
};

// A byte range, printed by the logger.
struct DataTrunk {
    void const *data;
    uint64 size;
};

// Synchronous reads and writes on a pipe end or a file. The buffer owns its
// handle and closes it exactly once. Copying never shares a handle: the copy
// gets its own duplicate of the source's handle (DuplicateHandle), so each
// object closes what it holds; a copy whose duplication failed has no handle
// and records the system error.
//
// Each get() is one system read of at most the size asked for, and peek()
// reads nothing. In block mode (read_blocks) a get() that finds nothing held
// reads whatever the handle has, up to block_size, with one system read,
// hands out what was asked for and holds the rest; held bytes are handed out
// first by every later get(), in either mode, and belong to the handle: a
// new handle (attach, detach, close, copy) starts with none.
class ZEM_VFS_API HandleStreamBuf : public StreamBuf {
public:
    enum { error_none = 0, error_no_handle = 2, error_system = 1000 };
    enum : unsigned { block_size = 16384 };

    HandleStreamBuf();
    explicit HandleStreamBuf(void *handle);
    HandleStreamBuf(HandleStreamBuf const &other);
    // Closes the handle held before and takes a duplicate of the other's.
    HandleStreamBuf &operator=(HandleStreamBuf const &other);
    ~HandleStreamBuf();

    // Stores a handle; the previous one is neither closed nor returned and
    // the error stays as it is.
    void attach(void *handle);
    // Gives the handle up without closing it.
    void *detach();
    void *handle() const { return handle_; }
    void read_blocks(bool on) { blocks_ = on; }
    // Bytes read from the handle and not handed out yet.
    uint64 held() const { return held_.size() - taken_; }

    int error() const override;
    uint64 put(void const *data, uint64 size) override;
    bool sync() override;
    uint64 get(void *data, uint64 size) override;
    uint64 peek(void *data, uint64 size) override;
    void close() override;

protected:
    // The one system read behind every get(); a derived buffer may count it.
    virtual uint64 read_handle(void *data, uint64 size);

private:
    void drop_held();

    void *handle_;
    int error_;
    bool blocks_;
    std::string held_;
    std::size_t taken_;
};

} // namespace vfs
} // namespace zem
