// Whose a kernel object is cannot be shown on this test machine: every
// process runs as the same user, and the system keeps no owner for an object
// made without one. The seam asks the system as the program does (the real
// call on the real object) and then answers as the table says.
#pragma once

#include "common/ObjectOwner.h"

#include <string>

template <typename Base = CObjectOwners>
class AnsweringOwners : public Base {
public:
    ObjectOwner answer = ObjectOwner::Other;
    // A normal user's SID.
    std::wstring who = L"S-1-5-21-1004336348-1177238915-682003330-1001";

    ObjectOwner OwnerOf(HANDLE object, std::wstring& owner) override
    {
        Base::OwnerOf(object, owner);
        owner = who;
        return answer;
    }
};
