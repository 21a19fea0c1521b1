// The library's exception boundary. Whatever the work inside an exported
// function throws (out of memory, mostly) ends here and becomes that
// function's failure value, so that no exception reaches a client.
#pragma once

#include <type_traits>
#include <utility>

namespace zem {
namespace vfs {
namespace detail {

// Runs `f` and returns its result, or `fallback` if anything is thrown.
template <class F>
std::invoke_result_t<F &> no_throw(std::invoke_result_t<F &> fallback, F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        return fallback;
    }
}

// Runs `f`; anything it throws is dropped.
template <class F> void no_throw(F &&f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

} // namespace detail
} // namespace vfs
} // namespace zem
