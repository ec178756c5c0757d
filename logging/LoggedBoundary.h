// The exception boundary (common/ExceptionBoundary.h) of an operation that
// reports its own failure: what escapes the body is logged once, at level 4,
// under the operation's source file and name with the operation's own text,
// and answered with the operation's code.
//
//   return boundary::Logged({L"PcFile.cpp", L"CPcFile::ReadFromFile"}, L"Error: not enough memory.", {},
//                           [&] { ...; return ERROR_SUCCESS; });
//
// The text is checked while compiling: it takes no arguments. The line itself
// never throws: one that cannot be built for lack of memory is lost, and the
// code still comes back.
#pragma once

#include "common/Platform.h"

#include "common/ExceptionBoundary.h"
#include "common/WideFormatString.h"
#include "logging/Log.h"

#include <source_location>
#include <type_traits>
#include <utility>

namespace boundary {

// What the line names: the source file and the qualified operation name.
struct Operation {
    const wchar_t* file;
    const wchar_t* name;
};

template <typename Body>
auto Logged(Operation operation, WideFormatString<> text, Codes codes, Body&& body,
            std::source_location where = std::source_location::current()) noexcept
    -> decltype(std::forward<Body>(body)())
{
    using Code = decltype(std::forward<Body>(body)());
    static_assert(!std::is_same_v<Code, bool>, "a code, not a bool");
    return Run(std::forward<Body>(body), [&](Escaped what) noexcept {
        Run(
            [&] {
                if (::LogLevelEnabled(LOG_ERROR)) {
                    ::log_site::WriteAs(LOG_ERROR, operation.file, operation.name, static_cast<int>(where.line()),
                                        text);
                }
            },
            [](Escaped) {});
        return static_cast<Code>(what == Escaped::kNoMemory ? codes.noMemory : codes.other);
    });
}

}  // namespace boundary
