// Text that is about to become part of a command line or of a telemetry field
// must not carry sequences that change its meaning downstream: any of
// @ & ; ' % or a double quote, a raw CR or LF, the two-character texts \r and
// \n, "0x0f" or "%00". The scheduler refuses such task parameters and the
// telemetry refuses such partner values.
// Portable: no platform header; fuzz/ builds it with the host's compiler too.
#pragma once

#include <string>

// True when `text` contains any of those sequences anywhere (a search, not a whole match).
bool HasUnsafeSequence(const std::wstring& text);
