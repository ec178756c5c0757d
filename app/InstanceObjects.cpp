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

// A boundary that only a token holding the LocalSystem SID satisfies; empty
// with the error when the system cannot make one.
ScopedBoundaryDescriptor LocalSystemBoundary(DWORD& error)
{
    ScopedBoundaryDescriptor boundary(::CreateBoundaryDescriptorW(CInstanceObjects::kNamespace, 0));
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    // Adding the SID may move the descriptor: the held value's slot is handed to the call.
    if (boundary && (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) ||
                     !::AddSIDToBoundaryDescriptor(boundary.AddressOf(), system))) {
        error = ::GetLastError();
        return ScopedBoundaryDescriptor();
    }
    error = boundary ? ERROR_SUCCESS : ::GetLastError();
    if (!boundary && error == ERROR_SUCCESS) error = ERROR_NOT_SUPPORTED;
    return boundary;
}

}  // namespace

CInstanceObjects::~CInstanceObjects() = default;

DWORD CInstanceObjects::CreatePrivateMutex(HANDLE& mutex, bool& existed)
{
    if (!m_namespace) {
        DWORD error = ERROR_SUCCESS;
        const ScopedBoundaryDescriptor boundary = LocalSystemBoundary(error);
        if (!boundary) return error;
        m_namespace.Reset(::CreatePrivateNamespaceW(nullptr, boundary.Get(), kNamespace));
        if (!m_namespace && ::GetLastError() == ERROR_ALREADY_EXISTS) {
            m_namespace.Reset(::OpenPrivateNamespaceW(boundary.Get(), kNamespace));
        }
        error = ::GetLastError();
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
    const ScopedBoundaryDescriptor boundary = LocalSystemBoundary(error);
    if (!boundary) return false;
    const ScopedPrivateNamespace opened(::OpenPrivateNamespaceW(boundary.Get(), kNamespace));
    if (!opened) return false;
    return ScopedHandle(::OpenMutexW(SYNCHRONIZE, FALSE, PrivateMutexName().c_str())).IsValid();
}
