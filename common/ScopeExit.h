// A release run when a scope is left, by whatever path: for what no owner of
// UniqueHandle.h can hold, because the release needs a second value (a user
// profile is unloaded with the token it was loaded for) or is a function found
// at run time (the late-bound table's WTSFreeMemory).
//
//     const ScopeExit unload([&] { ... });
//
// The release must not throw: it runs in a destructor.
// Portable: no platform header.
#pragma once

#include <type_traits>
#include <utility>

template <typename Release>
class ScopeExit {
    static_assert(std::is_nothrow_move_constructible_v<Release>, "a release is moved in without throwing");

public:
    [[nodiscard]] explicit ScopeExit(Release release) noexcept : m_release(std::move(release)) {}
    ~ScopeExit() { m_release(); }

    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Release m_release;
};
