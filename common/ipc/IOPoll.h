// An event loop over one I/O completion port, and the base class of the
// objects whose overlapped I/O completes through it.
//
// Completion keys as the loop reads them:
//   all ones (-1)   stop: one running loop() ends
//   -100 to -2      a notification, passed to notify()
//   0               ignored (post(nullptr) only wakes a loop)
//   anything else   the Pollable that owns the completed operation
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

class Pollable;

// The result of every begin_ operation: failed, completed at once (the end_
// step has run or nothing is outstanding), or pending (the completion will
// come through the port and reach callback()).
enum IOPollResult { io_failed = -1, io_done = 0, io_pending = 1 };

// Owns its completion port. loop() may run on several threads at once; the
// port hands each completion to exactly one of them, and each stop() ends
// one of them. post() and stop() may be called from any thread.
class ZEM_VFS_API IOPoll {
public:
    // A new port (as many concurrent threads as processors); waits without
    // time-out, or with a time-out of `ms` milliseconds.
    IOPoll();
    explicit IOPoll(unsigned long ms);
    ~IOPoll();
    IOPoll(IOPoll const &) = delete;
    IOPoll &operator=(IOPoll const &) = delete;

    bool valid() const;
    // Associates p->handle() with the port, with p as the key.
    bool add(Pollable *p);
    // Does nothing: a handle stays with its port until it is closed.
    bool remove(Pollable *p);
    // Queues a completion with key `p` and 0 bytes; also used with the
    // notification keys -100 to -2.
    void post(Pollable *p);
    // Queues one stop key.
    void stop();

    // One completion, for callers that run their own loop: the key (null
    // after an aborted connection) and its byte count. Time-outs call
    // timeout() and wait again. False when there is no port or the wait
    // itself failed. Stop and notification keys are returned as they are.
    bool poll(Pollable **p, uint64 &bytes);
    // Dispatches completions until a stop key arrives or the port fails.
    void loop();

    // Called for a notification key; the result is not looked at.
    virtual bool notify(Pollable *code);
    // Called whenever a wait times out.
    virtual void timeout();

    void *port() const { return port_; }

private:
    void *port_;
    unsigned long timeout_;
};

// An object whose overlapped I/O completes through an IOPoll. A derived class
// supplies handle() and issues the real overlapped call in its begin_
// operations after the base step. Its state is one of `State`, kept as an
// int. One object has at most one operation outstanding; nothing here is
// locked.
class ZEM_VFS_API Pollable {
public:
    enum State {
        unbound = 0, // not joined to a port
        binding = 1, // joining; a connect may be under way
        bound = 2,   // ready for a read or a write
        reading = 3, // a read under way
        writing = 4  // a write under way
    };

    Pollable();
    Pollable(Pollable const &other);
    Pollable &operator=(Pollable const &other);
    virtual ~Pollable();

    virtual void *handle() const = 0;
    // From unbound: binding, and the handle joins the port (once per handle
    // and port). -1 on failure, 0 otherwise.
    virtual IOPollResult begin_bind(IOPoll &poll);
    // binding becomes bound.
    virtual bool end_bind(IOPoll &poll);
    // From bound or later: reading, the buffer remembered.
    virtual IOPollResult begin_read(IOPoll &poll, void *buffer, uint64 size);
    virtual bool end_read(IOPoll &poll, void *buffer, uint64 bytes);
    // From bound or later: writing.
    virtual IOPollResult begin_write(IOPoll &poll, void const *data, uint64 size);
    virtual bool end_write(IOPoll &poll, uint64 bytes);
    // A completion: binding becomes bound (and end_bind runs), reading ends
    // the read, writing ends the write; false in any other state. When it
    // returns false the loop calls error().
    virtual bool callback(IOPoll &poll, uint64 bytes);
    virtual void error(IOPoll &poll);

    int io_state() const { return io_state_; }

protected:
    void io_state(int state) { io_state_ = state; }
    void *read_buffer() const { return buffer_; }

private:
    friend class IOPoll;
    // Joins handle() to the port unless that handle already belongs to it.
    bool associate(IOPoll &poll);

    int io_state_;
    void *buffer_;
    void *joined_handle_; // the handle and port last associated
    void *joined_port_;
};

} // namespace vfs
} // namespace zem
