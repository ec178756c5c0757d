#include "common/Platform.h"

#include "common/ExceptionBoundary.h"
#include "common/UniqueHandle.h"
#include "logging/LoggedBoundary.h"
#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace {

// However an invalid value reaches an owner, what it held is closed and it is
// empty; a live handle is kept, and Release() hands it over without closing it.
TEST(OwnershipTest, AnOwnerIsEmptyForEveryInvalidValueAndReleaseHandsOver)
{
    using Give = void (*)(ScopedHandle&, HANDLE);
    const Give ways[] = {[](ScopedHandle& o, HANDLE h) { o = ScopedHandle(h); },
                         [](ScopedHandle& o, HANDLE h) { o.Reset(h); }, [](ScopedHandle& o, HANDLE h) { *o.Put() = h; }};
    DWORD flags = 0;
    for (const auto give : ways) {
        for (const HANDLE invalid : {HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
            ScopedHandle owner(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            const HANDLE before = owner.Get();
            give(owner, invalid);
            EXPECT_FALSE(::GetHandleInformation(before, &flags));
            EXPECT_FALSE(owner);
            EXPECT_EQ(owner.Release(), nullptr);
        }
        ScopedHandle owner;
        give(owner, ::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const ScopedHandle taken(owner.Release());
        EXPECT_FALSE(owner);
        EXPECT_TRUE(::GetHandleInformation(taken.Get(), &flags));
    }
}

// What escapes a body is the operation's code and one line under its name; an answer is kept, unlogged.
TEST(OwnershipTest, TheBoundaryTurnsWhatEscapesIntoTheOperationsCode)
{
    using Body = DWORD (*)();
    const Body noMemory = []() -> DWORD { throw std::bad_alloc(); };
    const Body tooLong = []() -> DWORD { throw std::length_error("long"); };
    const Body answers = []() -> DWORD { return ERROR_INVALID_PARAMETER; };
    constexpr boundary::Codes internal{.other = ERROR_INTERNAL_ERROR};
    const struct { Body body; boundary::Codes codes; DWORD expected; size_t lines; } rows[] = {
        {noMemory, {}, ERROR_NOT_ENOUGH_MEMORY, 1},
        {noMemory, {.noMemory = ERROR_OUTOFMEMORY}, ERROR_OUTOFMEMORY, 1},
        {tooLong, internal, ERROR_INTERNAL_ERROR, 1},
        {answers, internal, ERROR_INVALID_PARAMETER, 0},
    };
    for (const auto& row : rows) {
        TestLog().Clear();
        EXPECT_EQ(boundary::Logged({L"Shelf.cpp", L"CShelf::Stack"}, L"No room", row.codes, row.body), row.expected);
        EXPECT_EQ(TestLog().Count(L"No room"), row.lines);
        const CapturedLine line = TestLog().Find(L"No room");  // a default line when none
        EXPECT_EQ(line.function + std::to_wstring(line.level), row.lines ? L"CShelf::Stack4" : L"0");
        EXPECT_EQ(boundary::Answer(row.codes, row.body), row.expected);
    }
}

}  // namespace
