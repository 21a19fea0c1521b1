// Dispatching requests to the handlers registered under their names, and
// reaching (or starting) the helper dispatcher.
//
// Handlers register themselves by name when they are built, typically as
// static objects. A later handler for the same name displaces the earlier one
// and keeps it as `previous`: a handler that does not serve a particular
// request calls the base RequestHandler::handler, which passes it down the
// chain; the oldest handler's base answers error 3.
//
// The helper dispatcher serves "\\.\pipe\zem.vfs.dispatcher_<its pid>" (and
// the shared "\\.\pipe\zem.vfs.dispatcher_wow64"); it is started from the
// folder named by "DispPath" under HKEY_LOCAL_MACHINE
// "Software\Tavrin Labs\Quillon" as `"<folder>\zem.vfs.dispatcher_wow64.exe"
// /helper <this pid>`.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

class Pipe;
class Request;
class Response;
class ResuestHandlerManager;
class Stream;

class ZEM_VFS_API RequestHandler {
public:
    // Enters this handler under `name`; the handler registered there before
    // becomes `previous`.
    explicit RequestHandler(char const *name);
    // A copy shares `previous` and is not registered.
    RequestHandler(RequestHandler const &other);
    RequestHandler &operator=(RequestHandler const &other);
    // A handler that goes while registered hands its place back to its
    // `previous` (and is unlinked from any chain it is part of), so the
    // registry never points at a destroyed handler.
    ~RequestHandler();

    // Must write exactly one Response carrying the request's id on `stream`
    // (none for a notification) and return whether the stream is still good.
    // The base passes the request to `previous`, or answers error 3.
    virtual bool handler(ResuestHandlerManager &manager, Pipe *pipe, Stream &stream,
                         Request &request, Response &response);

    RequestHandler *previous() const { return previous_; }

private:
    RequestHandler *previous_;
};

class ZEM_VFS_API ResuestHandlerManager {
public:
    ResuestHandlerManager() {}
    ResuestHandlerManager(ResuestHandlerManager const &) {}
    ResuestHandlerManager &operator=(ResuestHandlerManager const &) { return *this; }

    // Enters `handler` under `name`; returns the handler it displaced, or
    // null when there was none or it was the same one. A null name or
    // handler changes nothing.
    static RequestHandler *add_handler(char const *name, RequestHandler *handler);
    // Builds a Response with the request's id and error 0 and hands both to
    // the handler registered under the request's name; without one, answers
    // error 3. The result is the handler's (or whether the stream is good).
    bool handle_request(Pipe *pipe, Stream &stream, Request &request);
    // Connects `pipe` to the helper this process started, or else to the
    // shared helper pipe; with `start`, launches a helper when neither
    // answers and waits up to about 8 seconds for it. Calls are serialised
    // while a helper is being launched, so two threads never both start one.
    static bool get_helper_pipe(Pipe &pipe, bool start);
};

} // namespace vfs
} // namespace zem
