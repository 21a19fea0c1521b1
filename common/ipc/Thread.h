// Threads: an object whose virtual body runs on a Windows thread of its own.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// Wraps one thread handle, which the object owns and closes when destroyed.
// A subclass supplies the body as proc(); perform() starts a thread that
// runs it. Without auto-delete the owner destroys the object, normally after
// join(): the thread reads the object until its entry returns, even after
// proc() has returned, so the object must outlive the thread. With
// auto-delete (set before perform(), or by proc() itself) the object must
// come from new; the thread destroys it when proc() returns, and the
// creating thread must not touch it after a successful perform(), not even
// to join. An exception that leaves proc() ends the process, as with
// std::thread.
//
// Neither copied nor assigned: the object is the running thread's argument.
class ZEM_VFS_API Thread {
public:
    virtual int proc() = 0;
    virtual ~Thread();
    Thread(Thread const &) = delete;
    Thread &operator=(Thread const &) = delete;

    // Starts a thread (default security and stack size) running proc() and
    // keeps its handle. False when the system refuses, and also when the
    // object already holds a handle: the held thread is neither lost nor
    // joined twice. After false the caller still owns the object.
    bool perform();
    // Waits without time-out for the thread to end and returns its exit code;
    // the handle stays open. -1 without a handle, when the wait or the exit
    // code query fails, and when the handle is the calling thread's own
    // (waiting for oneself would never end).
    int join();
    // Gives the handle up; the caller owns it from then on.
    void *detach();
    // Stores a handle; one held before is neither closed nor returned.
    void attach(void *handle);
    void set_auto_delete();
    // The id of the handle's thread; 0 without a handle or when it cannot be
    // obtained.
    int id() const;

protected:
    explicit Thread(void *handle = nullptr);

private:
    static unsigned long __stdcall ThreadProc(void *object);

    void *handle_;
    bool auto_delete_;
};

// A thread object without a thread; its body does nothing.
class ZEM_VFS_API DummyThread : public Thread {
public:
    DummyThread();
    int proc() override;
};

// The calling thread, through its pseudo-handle (GetCurrentThread), which
// always means whichever thread uses it and is never closed. Its body does
// nothing.
class ZEM_VFS_API CurrentThread : public Thread {
public:
    CurrentThread();
    int proc() override;
};

} // namespace vfs
} // namespace zem
