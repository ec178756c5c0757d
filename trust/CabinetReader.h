// The cabinet reader of the policy refresh: a signed cabinet's "trusted.js",
// taken through FDI (Cabinet.dll) from the cabinet its caller holds open.
// Only the cabinet itself is a file here, and it is read through the handle
// that holds it; the "trusted.js" entry is extracted into memory, so what is
// judged and installed are the very bytes the held cabinet holds, and nobody
// can plant or swap a file in between.
#pragma once

#include "common/Platform.h"

#include <string>
#include <vector>

// The cabinet's "trusted.js", and why there is none.
struct PolicyExtraction {
    std::vector<BYTE> bytes;
    bool found = false;     // the first "trusted.js" entry was extracted whole
    std::wstring refusal;   // the cabinet is refused as a whole
};

// The held cabinet's first "trusted.js" into `extraction`, read with the FDI
// functions of `cabinet` (a loaded Cabinet.dll); every other entry is skipped.
// A cabinet that belongs to a set (continued from or into another one) and an
// entry larger than a policy file can be are refused. False (with the
// refusal, if any) when it has none that can be used.
[[nodiscard]] bool ExtractPolicy(HMODULE cabinet, HANDLE held, PolicyExtraction& extraction);
