#include "HandleStream.h"

namespace zem {
namespace vfs {

// The Stream part is built first (declaration order) and only binds a
// reference to the buffer part, which it does not use before it is built.
HandleStream::HandleStream() : Stream(static_cast<HandleStreamBuf &>(*this)), HandleStreamBuf() {}

HandleStream::HandleStream(void *handle)
    : Stream(static_cast<HandleStreamBuf &>(*this)), HandleStreamBuf(handle) {}

HandleStream::HandleStream(HandleStream const &other) : Stream(other), HandleStreamBuf(other) {
    rebind(static_cast<HandleStreamBuf &>(*this));
}

HandleStream &HandleStream::operator=(HandleStream const &other) {
    if (this != &other) {
        Stream::operator=(other);
        HandleStreamBuf::operator=(other);
        rebind(static_cast<HandleStreamBuf &>(*this));
    }
    return *this;
}

HandleStream::~HandleStream() = default;

int HandleStream::error() const {
    int e = HandleStreamBuf::error();
    return e != 0 ? e : stream_error();
}

} // namespace vfs
} // namespace zem
