// The data store document's sections in memory. Every string, map node and
// list of one document lives in that document's arena: building the sections
// of a whole file costs no heap call per key, and emptying them is one rewind
// of the arena, whose memory is kept for the next load.
// Portable: no platform header; fuzz/ builds it with the host's compiler too.
// Text is UTF-16 in char16_t code units (wchar_t is 32 bits elsewhere than on
// Windows); the program's interfaces convert at their edge.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qeldoc {

// Code-unit order, as StringMap orders its keys; lookups take any text form.
struct TextOrder {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const { return a < b; }
};

using Text = std::pmr::u16string;

// Our top-level sections: three objects of strings and two lists of such objects.
inline bool IsObjectSection(std::u16string_view name) { return name == u"oobe" || name == u"eula" || name == u"Entitlement"; }
inline bool IsListSection(std::u16string_view name) { return name == u"Packages" || name == u"ScheduleTask"; }

// One member's value in a section. Our sections hold strings; a value of
// another JSON shape (a number, a list, an object...) written by another
// program is kept as its JSON text exactly as it stood in the file, reads as
// absent, and is written back unchanged.
struct Value {
    using allocator_type = std::pmr::polymorphic_allocator<char16_t>;

    explicit Value(const allocator_type& allocator = {}) : text(allocator) {}
    Value(std::u16string_view string, const allocator_type& allocator = {}) : text(string, allocator) {}
    Value(const Value& other, const allocator_type& allocator) : text(other.text, allocator), raw(other.raw) {}
    Value(Value&& other, const allocator_type& allocator) : text(std::move(other.text), allocator), raw(other.raw) {}
    Value(const Value&) = default;
    Value(Value&&) = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) = default;

    // The value becomes this string.
    void Set(std::u16string_view string)
    {
        text.assign(string);
        raw = false;
    }
    // The value becomes this JSON text, kept as it is.
    void SetRaw(std::u16string_view json)
    {
        text.assign(json);
        raw = true;
    }

    bool operator==(const Value&) const = default;

    Text text;         // the string, or the JSON text of a value that is not one
    bool raw = false;  // text is JSON, not a string
};

using Section = std::pmr::map<Text, Value, TextOrder>;
using Records = std::pmr::vector<Section>;
// Top-level members of other programs (or ours in a shape we do not read), by
// name: each value's JSON text exactly as it stood in the file.
using RawMembers = std::pmr::map<Text, Text, TextOrder>;

// What one text holds, read into a document's arena: our sections as read
// (a "seen" flag per object section; a list is reported only when it holds
// records), and every other member as written.
struct ParsedDocument {
    explicit ParsedDocument(std::pmr::memory_resource* memory)
        : oobe(memory), eula(memory), entitlement(memory), packages(memory), tasks(memory), others(memory)
    {
    }

    Section oobe, eula, entitlement;
    bool hasOobe = false, hasEula = false, hasEntitlement = false;
    Records packages, tasks;
    RawMembers others;
};

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

// A whole document in memory: our five sections and every other member,
// built in one arena (declared first, so that it outlives them).
struct Document {
    Arena arena;
    Section eula{&arena};
    Records packages{&arena};
    Records tasks{&arena};
    Section oobe{&arena};
    Section entitlement{&arena};
    // Top-level members of other programs (and sections of ours in a shape
    // we do not read), each as its JSON text: written back unchanged.
    RawMembers others{&arena};

    // Empties every section and rewinds the arena.
    void Clear();
};

}  // namespace qeldoc
