// Named pipes: a client end or a synchronous server instance (Pipe), and the
// overlapped server instance that a dispatcher drives from an IOPoll loop
// (AsyncPipe).
//
// Server instances are created duplex, byte type, byte read mode, with up to
// 255 instances per name and 4096-byte buffers, and with security attributes
// that let low-integrity and packaged processes open them.
#pragma once

#include "../config.h"
#include "IOPoll.h"

namespace zem {
namespace vfs {

// One pipe end; owns its handle and closes it exactly once. A copy holds its
// own duplicate of the handle (DuplicateHandle), so each object closes only
// what it holds; a copy whose duplication failed has no handle.
class ZEM_VFS_API Pipe {
public:
    // What state() answers.
    enum PipeState {
        busy = 0, // the last connect gave up on a busy server
        not_connected = 1,
        connected = 3
    };

    Pipe();
    Pipe(void *handle, int state);
    // connect(name, false) right away.
    explicit Pipe(char const *name);
    Pipe(Pipe const &other);
    Pipe &operator=(Pipe const &other);
    ~Pipe();

    void *handle() const { return handle_; }
    int state() const { return state_; }
    // Gives the handle up without closing it; the state is kept.
    void *detach();

    // Creates one server instance and blocks until a client connects.
    // False when the instance cannot be created or the connection fails (the
    // instance then stays open).
    virtual bool bind(char const *name);
    // Opens the client end, waiting while every instance is busy: at most 20
    // attempts and 20 waits of 5 seconds. A name nobody serves fails at once.
    // The handle is switched to byte read mode and blocking; `overlapped`
    // opens it for overlapped I/O.
    virtual bool connect(char const *name, bool overlapped);
    // Ends a server instance's connection; the instance stays open for the
    // next client.
    virtual void disconnect();
    virtual void close();

protected:
    void set(void *handle, int state) {
        handle_ = handle;
        state_ = state;
    }
    void state(int value) { state_ = value; }

private:
    void *handle_;
    int state_;
};

// The overlapped server instance. begin_bind creates the instance (or reuses
// the one still open after a disconnect), joins it to the port and starts the
// overlapped connect; begin_read starts an overlapped read. A server's
// connection class derives from it and supplies end_read (and any write
// handling); its completions arrive on whichever thread runs the loop.
class ZEM_VFS_API AsyncPipe : public Pipe, public Pollable {
public:
    AsyncPipe();
    explicit AsyncPipe(void *handle);
    AsyncPipe(AsyncPipe const &other);
    AsyncPipe &operator=(AsyncPipe const &other);
    // Cancels an operation still under way and waits for it; a completion
    // already queued for this object is dropped by the loop.
    ~AsyncPipe() override;

    void *handle() const override { return Pipe::handle(); }

    // -1 failed, 0 a client was connected before the call ("bind ok+",
    // end_bind has run), 1 the connection completes through the port (also
    // when the connect succeeded at once: "bind ok").
    virtual IOPollResult begin_bind(char const *name, IOPoll &poll);
    using Pollable::begin_bind;
    // Needs a bound instance (state 2 or above): -1 before that. 0 when the
    // read finished at once, 1 when pending; either way the completion comes
    // through the port.
    IOPollResult begin_read(IOPoll &poll, void *buffer, uint64 size) override;
    // As Pipe::disconnect, and the I/O state returns to 0.
    void disconnect() override;

protected:
    // The OVERLAPPED record of this instance's connect and reads; a derived
    // class may use it for its own overlapped writes, one at a time.
    void *overlapped() { return overlapped_; }

private:
    // Storage of a Windows OVERLAPPED record (two pointer-sized counters, a
    // 64-bit offset and an event handle).
    alignas(void *) unsigned char overlapped_[3 * sizeof(void *) + 8];
};

} // namespace vfs
} // namespace zem
