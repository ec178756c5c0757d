// What the machine remembers of its policy files, where only administrators
// can change it (HKLM\SOFTWARE\Tarsen\QEL, native view) and no user can lock
// it: the highest version ever installed, and a copy of the last policy file
// this program verified.
#pragma once

#include "common/Platform.h"

#include <string>
#include <vector>

// The highest policy version ever installed on this machine: a candidate at or
// below it is never installed, also when the installed file is gone, damaged
// or held by another process. A DWORD as written here; a QWORD or a string of
// decimal digits is read as its number.
inline constexpr wchar_t kPolicyFloorValue[] = L"TrustedPolicyVersion";
// The signed bytes of the last policy file verified here (REG_BINARY): what a
// process judges with when it cannot read or verify the installed file.
inline constexpr wchar_t kPolicyCopyValue[] = L"TrustedPolicyCopy";
// The last-write time (a FILETIME, REG_QWORD) of the installed file the copy
// was read from: the copy tells the installed file's version only while the
// file is still that one.
inline constexpr wchar_t kPolicyCopyWrittenValue[] = L"TrustedPolicyCopyWritten";
// Where both are, for messages.
inline constexpr wchar_t kPolicyRecordsKey[] = L"SOFTWARE\\Tarsen\\QEL";
// The kept copy as messages name it: "HKLM\\SOFTWARE\\Tarsen\\QEL\\TrustedPolicyCopy".
std::wstring PolicyCopyName();

// The recorded highest version into `floor` (0: none recorded). False, with
// the value's type, when a value is there that is not a version number (or
// cannot be read); `floor` is then untouched.
[[nodiscard]] bool ReadPolicyVersionFloor(DWORD& floor, DWORD& type);
// The recorded highest version; 0 when none is recorded or it cannot be read.
DWORD PolicyVersionFloor();
// Records `version` unless a higher one is recorded, or the value there is
// not a version number (which is left as it is for an administrator).
void RaisePolicyVersionFloor(DWORD version);

// The kept copy's bytes; false when none is kept. `written`, when given,
// receives the last-write time of the file it was read from (0: unknown).
bool ReadPolicyCopy(std::vector<BYTE>& bytes, ULONGLONG* written = nullptr);
// Keeps `bytes`, read from a file last written at `written`, as the copy
// (each value written only when it differs).
void KeepPolicyCopy(const std::vector<BYTE>& bytes, ULONGLONG written);
// A file's last-write time as the copy records it; 0 when it cannot be read.
ULONGLONG LastWriteTime(const std::wstring& path);
