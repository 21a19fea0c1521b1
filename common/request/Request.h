// Requests and responses: the messages that the product's processes exchange
// with a dispatcher over a pipe.
//
// A request is a named message with an id and a map of text parameters; a
// response carries the id of the request it answers and an error code:
//   0  success
//   3  no handler serves the request's name
//   4  success, and the handler wrote further values after the response
// Any other code is the dispatcher's own and is passed through unchanged.
//
// On the wire (every element as the Stream writes it):
//   request:  v:Request: id(int) name(text) count(uint64) key value key value ...
//   response: v:Response: id(int) error(int)
// Parameters travel in ascending byte order of their keys.
#pragma once

#include "../config.h"
#include "../serialize/Variable.h"

#include <map>
#include <string>

namespace zem {
namespace vfs {

class Response;
class Stream;

class ZEM_VFS_API Request : public Variable {
public:
    typedef std::map<std::string, std::string> Params;

    // A request read from a peer is refused (its load fails) when it announces
    // more parameters than this, or when its name, keys and values together
    // hold more than Stream::max_string characters.
    enum : int { max_params = 1 << 16 };
    // The request's error() after send() read a response that carries
    // another request's id. send() returns null; the stream is out of step
    // and must not be used for further requests.
    enum : int { error_foreign_response = -2 };

    // `id` -1 takes the next value of the process-wide counter (the first one
    // is 1); any other id is kept as given. A null name is the empty name.
    Request(char const *name, int id);
    Request(Request const &other);
    Request &operator=(Request const &other);
    ~Request() override;

    int id() const { return id_; }
    void id(int value) { id_ = value; }
    void init_local() { id_ = 0; }
    int error() const { return error_; }
    char const *name() const { return name_.c_str(); }

    // Stores `value` under `key`, replacing an earlier value; a null value
    // removes the key. A null key is ignored.
    void set_param(char const *key, char const *value);
    // Stores the value as signed decimal text (all ones is "-1"); 0 removes
    // the key instead.
    void set_param(char const *key, uint64 value);
    // The stored value or null. The pointer stays valid until that parameter
    // is changed or the request is destroyed.
    char const *get_param(char const *key) const;
    // `fallback` for an absent key, otherwise the value's leading decimal
    // number (0 when there is none; clamped to the int range).
    int get_param_as_int(char const *key, int fallback) const;
    // `fallback` for an absent key, otherwise true for "true" in any case
    // and for "1", false for anything else.
    bool get_param_as_bool(char const *key, bool fallback) const;
    bool is_param_present(char const *key) const;
    Params const &params() const { return params_; }

    // Writes the request and, unless it is a notification, reads the answer:
    // notifications that arrive first go to the notification queue, the
    // response that follows is handed to when_response. The response belongs
    // to the caller (release()); null on any failure and for notifications,
    // and null with error() error_foreign_response when the response answers
    // another id.
    // The second argument is not used.
    Response *send(Stream &s, bool wait = true);
    // send(), then releases the response; true when there was one.
    bool send_and_release(Stream &s);

    // A plain Request copy, whatever the concrete request type.
    Variable *clone() const override;
    bool serialize(Stream &s) const override;
    bool load(Stream &s) override;

    virtual bool is_notify() const;
    // Takes the response's error; true while the stream is good.
    virtual bool when_response(Stream &s, Response &r);

    static Request __protype;

protected:
    // The prototype: empty name, no parameters, id 0; registered under
    // "Request" when `register_it` is true.
    Request(Protype const &, bool register_it);
    void error(int value) { error_ = value; }

private:
    int id_;
    std::string name_;
    Params params_;
    int error_;
};

class ZEM_VFS_API Response : public Variable {
public:
    explicit Response(int id);
    Response(Response const &other);
    Response &operator=(Response const &other);
    ~Response() override;

    int id() const { return id_; }
    int error() const { return error_; }
    void error(int value) { error_ = value; }

    Variable *clone() const override;
    bool serialize(Stream &s) const override;
    bool load(Stream &s) override;

    static Response __protype;

protected:
    Response(Protype const &, bool register_it);

private:
    int id_;
    int error_;
};

} // namespace vfs
} // namespace zem
