// The program's one exception boundary. No operation of ours throws to its
// caller: each answers with a code. What can throw inside one is the standard
// library: std::bad_alloc when the heap is exhausted, seldom anything else (a
// std::length_error for a size no container can hold). An operation runs the
// part that allocates as a body through the boundary, which turns what escapes
// into the operation's own answer:
//
//   boundary::Run(body, onEscape)   any answer: onEscape(what escaped) makes it
//   boundary::Answer(codes, body)   a code: codes.noMemory for std::bad_alloc
//                                   (8, ERROR_NOT_ENOUGH_MEMORY, unless the
//                                   operation names another), codes.other for
//                                   anything else
//
// Both log nothing: the operation, or its caller, reports the failure. The form
// that logs the operation's line once is logging/LoggedBoundary.h.
// Portable: no platform header; the portable units (datastore/DocumentText.cpp)
// use it too.
#pragma once

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace boundary {

// ERROR_NOT_ENOUGH_MEMORY.
inline constexpr std::uint32_t kNotEnoughMemory = 8;

enum class Escaped {
    kNoMemory,  // std::bad_alloc (and what derives from it)
    kOther,     // any other exception
};

// The codes an operation answers with when its body throws.
struct Codes {
    std::uint32_t noMemory = kNotEnoughMemory;
    std::uint32_t other = kNotEnoughMemory;
};

// body(), or onEscape(what escaped it). onEscape must not throw.
template <typename Body, typename OnEscape>
auto Run(Body&& body, OnEscape&& onEscape) noexcept -> decltype(std::forward<Body>(body)())
{
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return std::forward<OnEscape>(onEscape)(Escaped::kNoMemory);
    } catch (...) {
        return std::forward<OnEscape>(onEscape)(Escaped::kOther);
    }
}

// The code body() returns, or the operation's code for what escaped it.
template <typename Body>
auto Answer(Codes codes, Body&& body) noexcept -> decltype(std::forward<Body>(body)())
{
    using Code = decltype(std::forward<Body>(body)());
    static_assert(!std::is_same_v<Code, bool>, "a code, not a bool: use Run with the operation's own answer");
    return Run(std::forward<Body>(body), [codes](Escaped what) noexcept {
        return static_cast<Code>(what == Escaped::kNoMemory ? codes.noMemory : codes.other);
    });
}

}  // namespace boundary
