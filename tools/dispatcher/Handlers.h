// The requests the helper dispatcher serves, and how it answers one frame:
//
//   print_log         writes "log" through the logger at "level" (default 6)
//   load_policy       loads the policy tree stored in the disk file "path"
//                     (or "load") into the policy manager; "clear" empties it.
//                     A file that is not exactly one whole tree is refused
//                     with ERROR_INVALID_DATA and the tree in force stays.
//   property_request  a property store: "+key" sets, "-key" removes, "?key"
//                     and "*" query; answered with error 4, the pairs asked
//                     for and an empty key; a name or value holding a zero
//                     byte is refused with ERROR_INVALID_DATA
//   query_service     error 4 and the process id of the service "service"
//   register_process  records the caller's "pid" and "token"
//   notify_request    accepted, never answered
// Every other name is answered with error 3. In particular "run_command" is
// not served: any sandboxed process can reach the helper's pipes, and the
// helper never runs commands on their behalf.
//
// Everything a client sends is hostile: the stores are bounded, a text that
// goes to the log cannot forge records, and a frame that does not hold
// exactly one request ends the client's connection.
#pragma once

#include "request/internal/PipeServer.h"

#include <cstddef>
#include <memory>
#include <string>

namespace zem {
namespace vfs {

class HelperRequests : public detail::FrameHandler {
public:
    // Registers the handlers, each under its request's name, for as long as
    // this object lives; the stores start empty.
    HelperRequests();
    ~HelperRequests() override;
    HelperRequests(HelperRequests const &) = delete;
    HelperRequests &operator=(HelperRequests const &) = delete;

    // Loads the request in `frame` and appends the handler's answer to
    // `answer`; false when the frame is not exactly one request.
    bool handle_frame(Pipe *pipe, char const *frame, std::size_t size,
                      std::string &answer) override;

private:
    struct Handlers;
    std::unique_ptr<Handlers> handlers_;
};

} // namespace vfs
} // namespace zem
