#include "common/Platform.h"

#include "datastore/DBLock.h"

#include "logging/Log.h"

NotQuiteNullDacl::~NotQuiteNullDacl() = default;

bool NotQuiteNullDacl::fail()
{
    m_lastError = ::GetLastError();
    return false;
}

bool NotQuiteNullDacl::Create()
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, m_everyone.Put())) {
        return fail();
    }
    if (!::IsValidSid(m_everyone.Get())) return fail();

    // The ACL header and two ACEs, each ACE holding the SID.
    const DWORD size = 2 * ::GetLengthSid(m_everyone.Get()) + 24;
    m_dacl.Reset(static_cast<PACL>(::HeapAlloc(::GetProcessHeap(), 0, size)));
    if (!m_dacl) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return fail();
    }
    if (!::InitializeAcl(m_dacl.Get(), size, ACL_REVISION)) return fail();
    if (!::AddAccessDeniedAce(m_dacl.Get(), ACL_REVISION, WRITE_DAC | DELETE, m_everyone.Get())) return fail();
    if (!::AddAccessAllowedAce(m_dacl.Get(), ACL_REVISION, GENERIC_ALL, m_everyone.Get())) return fail();
    return true;
}

CSingleMutexForAllUser::CSingleMutexForAllUser(const std::wstring& name, DWORD waitMs)
    : m_name(name), m_waitLeftMs(waitMs)
{
    // An existing mutex is only opened: whoever created it chose its security.
    m_mutex.Reset(::OpenMutexW(SYNCHRONIZE, FALSE, m_name.c_str()));
    if (!m_mutex) _createMutexForAllUser();
    if (!m_mutex) {
        QEL_LOG(LOG_ERROR, L"Process: %d DBLock / _create : createMutexForAllUser failed, err :%d",
                static_cast<int>(::GetCurrentProcessId()), static_cast<int>(::GetLastError()));
    }
}

void CSingleMutexForAllUser::_createMutexForAllUser()
{
    NotQuiteNullDacl dacl;
    if (!dacl.Create()) {
        QEL_LOG(LOG_ERROR, L"Error creating Dacl: ");
        ::SetLastError(dacl.LastError());
        return;
    }
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = FALSE;
    if (::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.Dacl(), FALSE)) {
        attributes.lpSecurityDescriptor = &descriptor;
    }
    m_mutex.Reset(::CreateMutexW(&attributes, FALSE, m_name.c_str()));
}

CSingleMutexForAllUser::~CSingleMutexForAllUser()
{
    if (m_mutex) ::ReleaseMutex(m_mutex.Get());
    m_mutex.Reset();
    m_name.clear();
}

CSingleMutexForAllUser::Lock CSingleMutexForAllUser::lock()
{
    if (!m_mutex) {
        QEL_LOG(LOG_WARNING, L"Invalid Handle - NULL ");
        return Lock::Unsynchronised;
    }
    const ULONGLONG start = ::GetTickCount64();
    const DWORD result = ::WaitForSingleObject(m_mutex.Get(), m_waitLeftMs);
    const ULONGLONG waited = ::GetTickCount64() - start;
    m_waitLeftMs = waited >= m_waitLeftMs ? 0 : m_waitLeftMs - static_cast<DWORD>(waited);
    if (result == WAIT_TIMEOUT) {
        m_waitLeftMs = 0;
        QEL_LOG(LOG_ERROR, L"Process: %d could not take the data store lock %s: another program has held it for %d ms; "
                           L"the data store is not used",
                static_cast<int>(::GetCurrentProcessId()), m_name.c_str(), static_cast<int>(waited));
        return Lock::TimedOut;
    }
    if (result != WAIT_OBJECT_0) {
        QEL_LOG(LOG_ERROR, L"Process: %d failed to acquire lock, GetLastError = %d",
                static_cast<int>(::GetCurrentProcessId()), static_cast<int>(::GetLastError()));
    }
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? Lock::Held : Lock::Unsynchronised;
}

CSingleMutexForAllUserGrab::CSingleMutexForAllUserGrab(CSingleMutexForAllUser& mutex)
    : m_mutex(mutex), m_lock(mutex.lock())
{
}

CSingleMutexForAllUserGrab::~CSingleMutexForAllUserGrab()
{
    if (m_lock == CSingleMutexForAllUser::Lock::Held) ::ReleaseMutex(m_mutex.Handle());
}
