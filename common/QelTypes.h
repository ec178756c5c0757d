// The value shapes shared across the program: the data store's sections, the
// scheduler's stored task form and the instrumentation event are all ordered
// string maps (code-unit order, case-sensitive) or lists of them.
#pragma once

#include "Platform.h"

#include "ExceptionBoundary.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

using StringMap = std::map<std::wstring, std::wstring>;
using RecordList = std::vector<StringMap>;
using StringList = std::vector<std::wstring>;

// A reference-counted heap byte array; its length always travels beside it.
using SharedBuffer = std::shared_ptr<BYTE[]>;

// Allocates without throwing: an empty result means the memory was not there.
[[nodiscard]] inline SharedBuffer MakeSharedBuffer(size_t bytes) noexcept
{
    // If the control block cannot be allocated, the array is freed by shared_ptr itself.
    return boundary::Run([bytes] { return SharedBuffer(new BYTE[bytes ? bytes : 1]); },
                         [](boundary::Escaped) { return SharedBuffer(); });
}
