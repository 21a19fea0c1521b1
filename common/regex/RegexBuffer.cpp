#include "RegexBuffer.h"

#include <new>

namespace zem {
namespace vfs {

template class CBufferRefT<char>;
template class CBufferRefT<wchar_t>;
template class CBufferRefT<int>;
template class CBufferT<char>;
template class CBufferT<wchar_t>;
template class CBufferT<int>;

CRegexArena::CRegexArena()
    : m_pCurrent(m_inline), m_nLeft(kInlineSize), m_nNextBlock(4096), m_pBlocks(nullptr) {}

CRegexArena::~CRegexArena() {
    Reset();
}

void CRegexArena::Reset() {
    while (m_pBlocks != nullptr) {
        Block *next = m_pBlocks->next;
        std::free(m_pBlocks);
        m_pBlocks = next;
    }
    m_pCurrent = m_inline;
    m_nLeft = kInlineSize;
    m_nNextBlock = 4096;
}

// Slow path of Allocate(): a zero-sized request, or a new block.
void *CRegexArena::AllocateBlock(size_t size) {
    const size_t align = 16;
    if (size > (static_cast<size_t>(1) << 30)) {
        return nullptr;
    }
    size = size == 0 ? align : (size + align - 1) & ~(align - 1);
    if (size > m_nLeft) {
        // Blocks double up to 64 KiB; a larger request gets a block of its own size.
        const size_t header = (sizeof(Block) + align - 1) & ~(align - 1);
        const size_t payload = m_nNextBlock > size ? m_nNextBlock : size;
        unsigned char *raw = static_cast<unsigned char *>(std::malloc(header + payload));
        if (raw == nullptr) {
            return nullptr;
        }
        Block *block = reinterpret_cast<Block *>(raw);
        block->next = m_pBlocks;
        m_pBlocks = block;
        m_pCurrent = raw + header;
        m_nLeft = payload;
        if (m_nNextBlock < 65536) {
            m_nNextBlock *= 2;
        }
    }
    void *result = m_pCurrent;
    m_pCurrent += size;
    m_nLeft -= size;
    return result;
}

} // namespace vfs
} // namespace zem
