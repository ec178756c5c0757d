#include "datastore/DocumentModel.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace qeldoc {

namespace {

constexpr size_t kFirstBlock = 64 * 1024;

}  // namespace

void Arena::Rewind()
{
    m_current = 0;
    m_used = 0;
}

size_t Arena::Reserved() const
{
    size_t total = 0;
    for (const Block& block : m_blocks) total += block.size;
    return total;
}

void* Arena::do_allocate(size_t bytes, size_t alignment)
{
    for (;;) {
        if (m_current < m_blocks.size()) {
            Block& block = m_blocks[m_current];
            const uintptr_t base = reinterpret_cast<uintptr_t>(block.data.get());
            const size_t start = ((base + m_used + alignment - 1) & ~uintptr_t(alignment - 1)) - base;
            if (start <= block.size && bytes <= block.size - start) {
                m_used = start + bytes;
                return block.data.get() + start;
            }
            // Too little left here: the rest of this block stays unused until the next rewind.
            if (m_current + 1 < m_blocks.size()) {
                ++m_current;
                m_used = 0;
                continue;
            }
        }
        // Each new block at least doubles what the arena holds, so a document
        // of any size needs few blocks, and big requests get a block of their own size.
        const size_t reserved = Reserved();
        const size_t size = std::max({kFirstBlock, reserved, bytes + alignment});
        Block block;
        block.data.reset(new std::byte[size]);  // throws std::bad_alloc, as an allocator must
        block.size = size;
        m_blocks.push_back(std::move(block));
        m_current = m_blocks.size() - 1;
        m_used = 0;
    }
}

void Document::Clear()
{
    oobe.clear();
    entitlement.clear();
    eula.clear();
    // A cleared list would keep its storage, which the rewind hands out again:
    // the lists give theirs up.
    Records(&arena).swap(packages);
    Records(&arena).swap(tasks);
    others.clear();
    // Nothing of the sections is left in the arena now.
    arena.Rewind();
}

}  // namespace qeldoc
