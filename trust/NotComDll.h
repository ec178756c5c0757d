// Verified loading of the platform's trust-validation library "tsguard.dll",
// which can vouch for the framework's files. The library is loaded only after
// its own Authenticode signature has been checked by WinVerifyTrust and by the
// program's own signer checks (as for a companion file), from the platform's
// install folder ("szInstallDir32" under HKLM\Software\Tarsen\HostFrame,
// 32-bit view) or, failing that, from this program's folder. The file is held
// open against writes and deletion from its verification until it is loaded,
// and stays loaded for the life of the process. Failures go to the debugger
// output and leave the program without the library's help, never without its
// own signature check.
#pragma once

#include "common/Platform.h"

class CPolicyCache;
class ITrustObserver;

// The library's validation interface "GrdValidationControl". The library is
// not part of this program: what is fixed is the order of its operations and
// the sixth one. This program calls nothing but ValidateFile.
class IGrdValidationControl {
public:
    virtual DWORD WINAPI Reserved1() = 0;
    virtual DWORD WINAPI Reserved2() = 0;
    virtual DWORD WINAPI Reserved3() = 0;
    virtual DWORD WINAPI Reserved4() = 0;
    virtual DWORD WINAPI Reserved5() = 0;
    // Judges the file at `path`; fills results[0] and results[1]. Its return
    // value carries nothing the program uses.
    virtual DWORD WINAPI ValidateFile(LPCWSTR path, DWORD flags, DWORD* results) = 0;

protected:
    ~IGrdValidationControl() = default;
};

// The library's one export, "NotComDllGetInterface".
using NotComDllGetInterfaceExport = DWORD(WINAPI*)(LPCSTR interfaceName, void** object);

// Loads `libraryName` after checking its signature and asks its export for
// `interfaceName`. A relative name (three characters or more, not starting with "\",
// no ":" second) is looked for in the install folder, then beside this
// program; an absolute name is used as it is. 0 and the interface in `object`,
// or an error with `object` null. The library's signer is judged with the
// policy file cached in `policies` (the built-in policy and its blocked
// serial numbers); the first form with the program's (CTrustEnvironment::Default).
DWORD NotComDllGetInterface(LPCWSTR libraryName, LPCSTR interfaceName, void** object, DWORD reserved);
DWORD NotComDllGetInterface(CPolicyCache& policies, LPCWSTR libraryName, LPCSTR interfaceName, void** object);

// A trust-validation context: the platform version, which decides how the
// library is asked, and its interface, if it could be had.
struct CTrustValidationContext {
    DWORD platformVersion = 1504;
    IGrdValidationControl* validation = nullptr;
};

// A context made now from the registry and the library, loaded as above with
// `policies`. A trust environment makes its own once (the program's: once per
// process, CTrustEnvironment::ValidationContext).
[[nodiscard]] CTrustValidationContext CreateTrustValidationContext(CPolicyCache& policies);

// Whether the library vouches for `path`: asked with flags 4 below platform
// version 1505 and 512 from it on; vouched when the first answer word has bit
// 0x2 and the second bit 0x1 (below 1505) or bit 0x8 (1505 and above). False
// without the interface. `observer` (null: nobody) hears the question and the
// answer.
[[nodiscard]] bool IsVouchedByValidationLibrary(const CTrustValidationContext& context, LPCWSTR path,
                                  ITrustObserver* observer = nullptr);
