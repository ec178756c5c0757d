#include "common/Platform.h"

#include "app/InstanceObjects.h"

#include "app/QELCommonBuild.h"
#include "common/UniqueHandle.h"

#include <string>

namespace {

// The name of the program's mutex without its "Global\" prefix.
std::wstring PrivateMutexName()
{
    const std::wstring name = CQELCBSingleInstance::kMutexName;
    return std::wstring(CInstanceObjects::kNamespace) + L"\\" + name.substr(name.find(L'\\') + 1);
}

// A boundary that only a token holding the LocalSystem SID satisfies; null
// with the error when the system cannot make one.
HANDLE LocalSystemBoundary(DWORD& error)
{
    HANDLE boundary = ::CreateBoundaryDescriptorW(CInstanceObjects::kNamespace, 0);
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    if (boundary && (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) ||
                     !::AddSIDToBoundaryDescriptor(&boundary, system))) {
        error = ::GetLastError();
        ::DeleteBoundaryDescriptor(boundary);
        return nullptr;
    }
    error = boundary ? ERROR_SUCCESS : ::GetLastError();
    if (!boundary && error == ERROR_SUCCESS) error = ERROR_NOT_SUPPORTED;
    return boundary;
}

}  // namespace

CInstanceObjects::~CInstanceObjects()
{
    if (m_namespace) ::ClosePrivateNamespace(m_namespace, 0);
}

DWORD CInstanceObjects::CreatePrivateMutex(HANDLE& mutex, bool& existed)
{
    if (!m_namespace) {
        DWORD error = ERROR_SUCCESS;
        const HANDLE boundary = LocalSystemBoundary(error);
        if (!boundary) return error;
        m_namespace = ::CreatePrivateNamespaceW(nullptr, boundary, kNamespace);
        if (!m_namespace && ::GetLastError() == ERROR_ALREADY_EXISTS) {
            m_namespace = ::OpenPrivateNamespaceW(boundary, kNamespace);
        }
        error = ::GetLastError();
        ::DeleteBoundaryDescriptor(boundary);
        if (!m_namespace) return error;
    }
    const HANDLE created = ::CreateMutexW(nullptr, TRUE, PrivateMutexName().c_str());
    if (!created) return ::GetLastError();
    existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    mutex = created;
    return ERROR_SUCCESS;
}

bool CInstanceObjects::PrivateInstanceRuns()
{
    DWORD error = ERROR_SUCCESS;
    const HANDLE boundary = LocalSystemBoundary(error);
    if (!boundary) return false;
    const HANDLE opened = ::OpenPrivateNamespaceW(boundary, kNamespace);
    ::DeleteBoundaryDescriptor(boundary);
    if (!opened) return false;
    const bool runs = ScopedHandle(::OpenMutexW(SYNCHRONIZE, FALSE, PrivateMutexName().c_str())).IsValid();
    ::ClosePrivateNamespace(opened, 0);
    return runs;
}
