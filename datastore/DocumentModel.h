// The data store document's sections in memory. Every string, map node and
// list of one document lives in that document's arena: building the sections
// of a whole file costs no heap call per key, and emptying them is one rewind
// of the arena, whose memory is kept for the next load.
#pragma once

#include "common/Platform.h"

#include <cstddef>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace qeldoc {

// Code-unit order, as StringMap orders its keys; lookups take any text form.
struct TextOrder {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const { return a < b; }
};

using Text = std::pmr::wstring;
using Section = std::pmr::map<Text, Text, TextOrder>;
using Records = std::pmr::vector<Section>;
// Top-level members by name (those of other programs, carried through a save).
using NamedSections = std::pmr::map<Text, Section, TextOrder>;
using NamedRecords = std::pmr::map<Text, Records, TextOrder>;

// Hands out memory from large blocks by moving a pointer forward. Freeing one
// allocation does nothing; Rewind() frees all of them at once and keeps the
// blocks, so that the next document is built in memory already touched. The
// blocks go with the arena. Single-threaded, like the document that owns it.
class Arena : public std::pmr::memory_resource {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // Only once nothing allocated from the arena is in use any more.
    void Rewind();
    // Bytes held in blocks (in use or kept for reuse).
    size_t Reserved() const;

private:
    void* do_allocate(size_t bytes, size_t alignment) override;
    void do_deallocate(void*, size_t, size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    struct Block {
        std::unique_ptr<std::byte[]> data;
        size_t size = 0;
    };
    std::vector<Block> m_blocks;
    size_t m_current = 0;  // the block allocations are taken from
    size_t m_used = 0;     // bytes of it already handed out
};

}  // namespace qeldoc
