// A named-pipe server for request frames that knows nothing of what the frames
// ask: it keeps listening instances open under its names, accepts clients,
// finds whole frames in what each client sends (FrameScanner) and hands every
// whole frame to a FrameHandler, whose answer goes back to that client in one
// write.
//
// Everything a client sends is hostile: a frame is bounded (`max_frame`), and
// a malformed or oversized frame ends that client's connection and nothing
// else. Idle clients cannot lock others out: a connection that has not
// delivered a whole frame within `idle_ms` of connecting (or of its previous
// frame) is dropped by sweep(), a few listening instances per name are kept
// free for the next client, and a client process holding more than
// `max_per_process` connections (or all clients together more than
// `max_connections`) loses its longest idle one whenever a new one arrives.
//
// A few loop threads wait on one completion port. A connection has at most
// one operation outstanding and is served by whichever thread its completion
// reaches: that thread answers every whole frame received, writes the answers
// and reads again, going back to the port when an operation is really pending
// or after a few steps, so that a client that never pauses cannot keep a
// thread from the others.
#pragma once

#include "../../config.h"

#include <cstddef>
#include <string>

namespace zem {
namespace vfs {

class Pipe;

namespace detail {

class PipeServerImpl;

// What a server does with each whole frame.
class FrameHandler {
public:
    virtual ~FrameHandler() = default;
    // Answers the whole frame `frame` (`size` bytes) that arrived on `pipe`,
    // appending the answer's bytes (possibly none) to `answer`. False ends
    // the client's connection. Called on any loop thread, for several
    // connections at once.
    virtual bool handle_frame(Pipe *pipe, char const *frame, std::size_t size,
                              std::string &answer) = 0;
};

struct PipeServerLimits {
    uint64 max_frame = 1u << 20;       // largest frame a client may send
    int listening_per_name = 2;        // free instances kept per name
    std::size_t max_connections = 128; // connected clients at most, in all
    std::size_t max_per_process = 16;  // and per client process
    std::size_t max_instances = 200;   // instances of every state and name
    unsigned long idle_ms = 5000;      // longest wait for a whole frame
    int threads = 2;                   // loop threads
};

class ZEM_VFS_API PipeServer {
public:
    // Serves the pipe names `names[0]` to `names[count - 1]` once started.
    PipeServer(FrameHandler &handler, char const *const *names, std::size_t count,
               PipeServerLimits const &limits);
    // Stops the server if it is running.
    ~PipeServer();
    PipeServer(PipeServer const &) = delete;
    PipeServer &operator=(PipeServer const &) = delete;

    // Opens the listening instances and starts the loop threads; false when
    // the completion port or a thread cannot be had.
    bool start();
    // Drops the connections whose time has run out and reopens listening
    // instances that could not be opened before; the owner calls it a few
    // times per `idle_ms`.
    void sweep();
    // Stops listening and serving, ends the loop threads and closes every
    // instance. Idempotent.
    void stop();

private:
    PipeServerImpl *impl_;
};

} // namespace detail
} // namespace vfs
} // namespace zem
