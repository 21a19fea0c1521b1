// Buffers of the regular-expression engine: a growable array, a non-owning
// view, an array with inline storage and the arena that owns a compiled
// pattern's elements. All of it is internal to the library.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace zem {
namespace vfs {

// Non-owning view of `size` elements at `ref`.
template <class T> class CBufferRefT {
public:
    CBufferRefT() : m_pRef(nullptr), m_nSize(0) {}
    CBufferRefT(const T *ref, int size)
        : m_pRef(ref), m_nSize(ref != nullptr && size > 0 ? size : 0) {}

    const T *GetBuffer() const { return m_pRef; }
    int GetSize() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }
    const T &operator[](int index) const { return m_pRef[index]; }
    const T &At(int index, const T &fallback) const {
        return index >= 0 && index < m_nSize ? m_pRef[index] : fallback;
    }

    // Index of the first element equal to `value` at or after `from`, or -1.
    int Find(const T &value, int from = 0) const {
        for (int i = from < 0 ? 0 : from; i < m_nSize; ++i) {
            if (m_pRef[i] == value) {
                return i;
            }
        }
        return -1;
    }

    bool IsEqual(const T *other, int size) const {
        if (size != m_nSize) {
            return false;
        }
        for (int i = 0; i < size; ++i) {
            if (!(m_pRef[i] == other[i])) {
                return false;
            }
        }
        return true;
    }
    bool operator==(const CBufferRefT &other) const { return IsEqual(other.m_pRef, other.m_nSize); }
    bool operator!=(const CBufferRefT &other) const { return !(*this == other); }

protected:
    const T *m_pRef;
    int m_nSize;
};

// Growable array of trivially copyable elements. Growing never throws: an
// append that cannot get memory (or would pass kMaxElements) leaves the
// buffer as it was and returns false.
//
// When an append exceeds the capacity, the capacity becomes
// max(8, 2 x capacity), or the needed size rounded up to a multiple of 8 when
// that is larger still.
template <class T> class CBufferT {
public:
    // Largest number of elements a buffer will hold (about 1 GiB of ints).
    static const int kMaxElements = 0x10000000;

    CBufferT() : m_pBuffer(nullptr), m_nSize(0), m_nCapacity(0), m_bOwned(false) {}
    CBufferT(const T *data, int size) : CBufferT() { Append(data, size); }
    CBufferT(const CBufferT &other) : CBufferT() { Append(other.m_pBuffer, other.m_nSize); }
    CBufferT &operator=(const CBufferT &other) {
        if (this != &other) {
            m_nSize = 0;
            Append(other.m_pBuffer, other.m_nSize);
        }
        return *this;
    }
    ~CBufferT() { Release(); }

    int GetSize() const { return m_nSize; }
    int GetCapacity() const { return m_nCapacity; }
    bool IsEmpty() const { return m_nSize == 0; }
    T *GetBuffer() { return m_pBuffer; }
    const T *GetBuffer() const { return m_pBuffer; }
    T &operator[](int index) { return m_pBuffer[index]; }
    const T &operator[](int index) const { return m_pBuffer[index]; }
    CBufferRefT<T> GetRef() const { return CBufferRefT<T>(m_pBuffer, m_nSize); }

    bool Push(const T &value) {
        if (m_nSize == m_nCapacity && !Grow(m_nSize + 1)) {
            return false;
        }
        m_pBuffer[m_nSize++] = value;
        return true;
    }
    // Removes and returns the last element; an empty buffer gives T().
    T Pop() { return m_nSize > 0 ? m_pBuffer[--m_nSize] : T(); }
    T &Top() { return m_pBuffer[m_nSize - 1]; }

    bool Append(const T *data, int size) {
        if (size <= 0 || data == nullptr) {
            return size <= 0;
        }
        if (size > kMaxElements - m_nSize) {
            return false;
        }
        if (m_nSize + size > m_nCapacity && !Grow(m_nSize + size)) {
            return false;
        }
        std::memmove(m_pBuffer + m_nSize, data, sizeof(T) * static_cast<size_t>(size));
        m_nSize += size;
        return true;
    }
    // Appends `count` copies of `value`.
    bool Fill(const T &value, int count) {
        if (count <= 0) {
            return true;
        }
        if (count > kMaxElements - m_nSize) {
            return false;
        }
        if (m_nSize + count > m_nCapacity && !Grow(m_nSize + count)) {
            return false;
        }
        for (int i = 0; i < count; ++i) {
            m_pBuffer[m_nSize++] = value;
        }
        return true;
    }
    // Makes room for `capacity` elements without changing the size.
    bool Reserve(int capacity) { return capacity <= m_nCapacity || Grow(capacity); }
    // Shortens the buffer to `size` elements (never lengthens it).
    void Truncate(int size) {
        if (size >= 0 && size < m_nSize) {
            m_nSize = size;
        }
    }
    void Clear() { m_nSize = 0; }

protected:
    // Starts on caller-provided storage of `capacity` elements, which the
    // buffer never frees; the first growth moves to the heap.
    CBufferT(T *storage, int capacity, bool /*storageIsInline*/)
        : m_pBuffer(storage), m_nSize(0), m_nCapacity(capacity), m_bOwned(false) {}

    void Release() {
        if (m_bOwned) {
            std::free(m_pBuffer);
        }
        m_pBuffer = nullptr;
        m_nCapacity = 0;
        m_nSize = 0;
        m_bOwned = false;
    }

    bool Grow(int needed) {
        if (needed > kMaxElements) {
            return false;
        }
        int capacity = m_nCapacity > kMaxElements / 2 ? kMaxElements : 2 * m_nCapacity;
        if (capacity < 8) {
            capacity = 8;
        }
        if (needed > capacity) {
            capacity = (needed + 7) & ~7;
        }
        T *buffer = static_cast<T *>(std::malloc(sizeof(T) * static_cast<size_t>(capacity)));
        if (buffer == nullptr) {
            return false;
        }
        if (m_nSize > 0) {
            std::memcpy(buffer, m_pBuffer, sizeof(T) * static_cast<size_t>(m_nSize));
        }
        if (m_bOwned) {
            std::free(m_pBuffer);
        }
        m_pBuffer = buffer;
        m_nCapacity = capacity;
        m_bOwned = true;
        return true;
    }

    T *m_pBuffer;
    int m_nSize;
    int m_nCapacity;
    bool m_bOwned;
};

// A CBufferT whose first N elements live inside the object, so that small
// buffers cost no heap allocation.
template <class T, int N> class CInlineBufferT : public CBufferT<T> {
public:
    CInlineBufferT() : CBufferT<T>(m_inline, N, true) {}
    CInlineBufferT(const CInlineBufferT &other) : CBufferT<T>(m_inline, N, true) {
        this->Append(other.GetBuffer(), other.GetSize());
    }
    CInlineBufferT &operator=(const CInlineBufferT &other) {
        if (this != &other) {
            this->m_nSize = 0;
            this->Append(other.GetBuffer(), other.GetSize());
        }
        return *this;
    }

private:
    T m_inline[N];
};

// Bump allocator that owns the memory of one compiled pattern. The first
// blocks come from storage inside the object; larger patterns chain heap
// blocks. Allocate() returns nullptr when memory runs out.
class CRegexArena {
public:
    CRegexArena();
    ~CRegexArena();
    CRegexArena(const CRegexArena &) = delete;
    CRegexArena &operator=(const CRegexArena &) = delete;

    void *Allocate(size_t size) {
        if (size == 0 || size > m_nLeft) {
            return AllocateBlock(size);
        }
        // m_nLeft stays a multiple of 16, so the rounded size still fits.
        size = (size + 15) & ~static_cast<size_t>(15);
        void *result = m_pCurrent;
        m_pCurrent += size;
        m_nLeft -= size;
        return result;
    }
    // Frees every block but the inline one.
    void Reset();

private:
    void *AllocateBlock(size_t size);

    static const size_t kInlineSize = 2048;
    struct Block {
        Block *next;
    };

    alignas(16) unsigned char m_inline[kInlineSize];
    unsigned char *m_pCurrent;
    size_t m_nLeft;
    size_t m_nNextBlock;
    Block *m_pBlocks;
};

} // namespace vfs
} // namespace zem
