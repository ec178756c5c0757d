// The named mutex that serialises loads and saves of the shared data store
// file across processes of every user: anyone may open, wait on and release
// it; nobody may change its access list or delete it.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

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
    PACL Dacl() const { return m_dacl.Get(); }
    DWORD LastError() const { return m_lastError; }

private:
    bool fail();

    ScopedProcessHeapBlock<ACL> m_dacl;
    ScopedSid m_everyone;
    DWORD m_lastError = ERROR_SUCCESS;
};

class CSingleMutexForAllUser {
public:
    // How long a run waits for the mutex, in all: the framework's programs hold
    // it for one load or one save, so a holder that keeps it longer is stuck
    // or hostile (any user may take it), and the run goes on without the store.
    static constexpr DWORD kDefaultWaitMs = 30 * 1000;

    enum class Lock {
        Held,            // this process owns the mutex (also after an abandoned wait)
        Unsynchronised,  // no mutex, or the wait failed: the caller goes on without it
        TimedOut,        // another program held it past the run's wait (logged): the store is not used
    };

    // Opens the mutex of that name, or creates it with NotQuiteNullDacl. When
    // neither works the object has no handle and locking degrades to nothing.
    // `waitMs` is what the run may wait for it in all.
    explicit CSingleMutexForAllUser(const std::wstring& name, DWORD waitMs = kDefaultWaitMs);
    virtual ~CSingleMutexForAllUser();

    CSingleMutexForAllUser(const CSingleMutexForAllUser&) = delete;
    CSingleMutexForAllUser& operator=(const CSingleMutexForAllUser&) = delete;

    // Waits at most what is left of the run's wait (once that is spent, only
    // tries). A failed or abandoned wait is logged and the caller goes on
    // (after an abandoned wait this process owns the mutex).
    Lock lock();

    HANDLE Handle() const { return m_mutex.Get(); }
    const std::wstring& Name() const { return m_name; }

private:
    void _createMutexForAllUser();

    ScopedHandle m_mutex;
    std::wstring m_name;
    DWORD m_waitLeftMs;
};

// Holds the mutex for a scope (releases it only when it took it).
class CSingleMutexForAllUserGrab {
public:
    explicit CSingleMutexForAllUserGrab(CSingleMutexForAllUser& mutex);
    virtual ~CSingleMutexForAllUserGrab();

    CSingleMutexForAllUserGrab(const CSingleMutexForAllUserGrab&) = delete;
    CSingleMutexForAllUserGrab& operator=(const CSingleMutexForAllUserGrab&) = delete;

    // Another program held the mutex past the run's wait: the store must not be used.
    bool TimedOut() const { return m_lock == CSingleMutexForAllUser::Lock::TimedOut; }

private:
    CSingleMutexForAllUser& m_mutex;
    CSingleMutexForAllUser::Lock m_lock;
};
