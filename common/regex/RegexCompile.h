// What the files of the regular-expression compiler share: the parser's
// entry points and the arena allocation of CPatternT.
#pragma once

#include "RegexPattern.h"

#include <cstring>
#include <new>

namespace zem {
namespace vfs {

// Compiles the pattern's text into its element tree; `tooDeep` is set when
// the parentheses nest deeper than CPatternT::kMaxNesting.
template <class T> const ElxInterface<T> *RegexParse(CPatternT<T> &pattern, bool &tooDeep);

// Compiles group `number` (0: the whole pattern) again to run right to left
// or left to right; its groups keep their numbers and names.
template <class T>
const ElxInterface<T> *RegexReparse(CPatternT<T> &pattern, int number, bool rightLeft);

template <class T> template <class E, class... A> E *CPatternT<T>::New(A... args) {
    void *memory = m_arena.Allocate(sizeof(E));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    E *element = new (memory) E(args...);
    if (!m_store.Push(element)) {
        element->~E();
        throw std::bad_alloc();
    }
    return element;
}

template <class T> template <class E> E *CPatternT<T>::Copy(const E *data, int count) {
    if (count <= 0) {
        return nullptr;
    }
    E *copy = static_cast<E *>(m_arena.Allocate(sizeof(E) * static_cast<size_t>(count)));
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    if (count <= 8) {
        for (int i = 0; i < count; ++i) {
            copy[i] = data[i];
        }
    } else {
        std::memcpy(static_cast<void *>(copy), data, sizeof(E) * static_cast<size_t>(count));
    }
    return copy;
}

} // namespace vfs
} // namespace zem
