// The named mutex that serialises loads and saves of the shared data store
// file across processes of every user: anyone may open, wait on and release
// it; nobody may change its access list or delete it.
#pragma once

#include "common/Platform.h"

#include <string>

// The access list the mutex is created with: deny WRITE_DAC | DELETE to
// Everyone, then allow GENERIC_ALL to Everyone. The deny entry comes first, so
// it wins for the rights it names.
class NotQuiteNullDacl {
public:
    NotQuiteNullDacl() = default;
    virtual ~NotQuiteNullDacl();

    NotQuiteNullDacl(const NotQuiteNullDacl&) = delete;
    NotQuiteNullDacl& operator=(const NotQuiteNullDacl&) = delete;

    // False on failure, with the error in LastError().
    bool Create();
    PACL Dacl() const { return m_dacl; }
    DWORD LastError() const { return m_lastError; }

private:
    bool fail();

    PACL m_dacl = nullptr;   // process heap
    PSID m_everyone = nullptr;
    DWORD m_lastError = ERROR_SUCCESS;
};

class CSingleMutexForAllUser {
public:
    // Opens the mutex of that name, or creates it with NotQuiteNullDacl. When
    // neither works the object has no handle and locking degrades to nothing.
    explicit CSingleMutexForAllUser(const std::wstring& name);
    virtual ~CSingleMutexForAllUser();

    CSingleMutexForAllUser(const CSingleMutexForAllUser&) = delete;
    CSingleMutexForAllUser& operator=(const CSingleMutexForAllUser&) = delete;

    // Waits without limit. A failed or abandoned wait is logged and the caller
    // goes on (after an abandoned wait this process owns the mutex).
    void lock();

    HANDLE Handle() const { return m_mutex; }
    const std::wstring& Name() const { return m_name; }

private:
    void _createMutexForAllUser();

    HANDLE m_mutex = nullptr;
    std::wstring m_name;
};

// Holds the mutex for a scope.
class CSingleMutexForAllUserGrab {
public:
    explicit CSingleMutexForAllUserGrab(CSingleMutexForAllUser& mutex);
    virtual ~CSingleMutexForAllUserGrab();

    CSingleMutexForAllUserGrab(const CSingleMutexForAllUserGrab&) = delete;
    CSingleMutexForAllUserGrab& operator=(const CSingleMutexForAllUserGrab&) = delete;

private:
    CSingleMutexForAllUser& m_mutex;
};
