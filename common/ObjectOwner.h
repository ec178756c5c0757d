// Whose a named kernel object is. Any user may create a mutex or an event of
// any name in the global namespace (and in session 0's, which is the same),
// before the program does; the program then opens that user's object when it
// asks for its own. Its owner tells the program's own (and the framework's,
// which runs as LocalSystem or an administrator) from a squatter's.
#pragma once

#include "common/Platform.h"

#include <string>

enum class ObjectOwner {
    Rightful,     // LocalSystem, Administrators, or the account this process runs as
    Other,        // anybody else (or an owner that cannot be read)
    NotReported,  // the system keeps no owner for the object (Windows always keeps one)
};

// LocalSystem, Administrators, or this process's own account (its user, or the
// owner its token gives what it creates).
bool IsRightfulOwner(PSID sid);

// Asks the system: the owner in the object's security descriptor. A seam:
// where the system cannot show owners, tests answer for it.
class CObjectOwners {
public:
    virtual ~CObjectOwners() = default;
    // `who` receives the owner as a SID text (for the log line).
    virtual ObjectOwner OwnerOf(HANDLE object, std::wstring& who);
};
