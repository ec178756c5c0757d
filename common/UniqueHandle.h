// One move-only owner for every kind of platform handle, with one alias per
// resource named after what it closes. Reset keeps the thread's last error, so
// an owner going out of scope never hides the code of the call that failed.
// An owner never holds an invalid value: whatever its kind takes for "none"
// (both null and INVALID_HANDLE_VALUE for a kernel handle) comes back out of
// Get() and Release() as the one empty value, so a caller tests for one thing.
// A release that needs more than the value, or a function found at run time,
// is a ScopeExit (ScopeExit.h).
#pragma once

#include "Platform.h"

#include <objbase.h>
#include <oleauto.h>
#include <userenv.h>
#include <wincrypt.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept : m_h(Traits::Invalid()) {}
    explicit UniqueHandle(pointer h) noexcept : m_h(Normal(h)) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_h(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    pointer Get() const noexcept { return Normal(m_h); }
    bool IsValid() const noexcept { return Traits::IsValid(m_h); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing: the caller now owns what comes back.
    [[nodiscard]] pointer Release() noexcept
    {
        const pointer h = Normal(m_h);
        m_h = Traits::Invalid();
        return h;
    }

    void Reset(pointer h = Traits::Invalid()) noexcept
    {
        h = Normal(h);
        if (m_h == h) return;
        const DWORD lastError = ::GetLastError();
        if (Traits::IsValid(m_h)) Traits::Close(m_h);
        m_h = h;
        ::SetLastError(lastError);
    }

    // The slot with what is held in it, for an API that reads the value and
    // may replace it (AddSIDToBoundaryDescriptor moves the descriptor).
    pointer* AddressOf() noexcept { return &m_h; }

    // Closes what is held and hands out the slot for an API that fills it.
    // What the API leaves there is read through Get() and Release(), which
    // give the empty value for anything invalid it may have written.
    pointer* Put() noexcept
    {
        Reset();
        return &m_h;
    }

private:
    static pointer Normal(pointer h) noexcept { return Traits::IsValid(h) ? h : Traits::Invalid(); }

    pointer m_h;
};

namespace handle_traits {

template <typename T, typename Closer>
struct NullInvalid {
    using pointer = T;
    static pointer Invalid() noexcept { return pointer(); }
    static bool IsValid(pointer h) noexcept { return h != pointer(); }
    static void Close(pointer h) noexcept { Closer::Close(h); }
};

struct KernelHandle {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct RegCloser { static void Close(HKEY h) noexcept { ::RegCloseKey(h); } };
struct ModuleCloser { static void Close(HMODULE h) noexcept { ::FreeLibrary(h); } };
struct LocalCloser { static void Close(HLOCAL h) noexcept { ::LocalFree(h); } };
struct CryptProvCloser { static void Close(HCRYPTPROV h) noexcept { ::CryptReleaseContext(h, 0); } };
struct CryptKeyCloser { static void Close(HCRYPTKEY h) noexcept { ::CryptDestroyKey(h); } };
struct CryptHashCloser { static void Close(HCRYPTHASH h) noexcept { ::CryptDestroyHash(h); } };
struct BstrCloser { static void Close(BSTR h) noexcept { ::SysFreeString(h); } };
struct CertStoreCloser { static void Close(HCERTSTORE h) noexcept { ::CertCloseStore(h, 0); } };
struct CertContextCloser { static void Close(PCCERT_CONTEXT h) noexcept { ::CertFreeCertificateContext(h); } };
struct ChainContextCloser { static void Close(PCCERT_CHAIN_CONTEXT h) noexcept { ::CertFreeCertificateChain(h); } };
struct CryptMsgCloser { static void Close(HCRYPTMSG h) noexcept { ::CryptMsgClose(h); } };
struct SidCloser { static void Close(PSID h) noexcept { ::FreeSid(h); } };
struct ProcessHeapCloser {
    template <typename T>
    static void Close(T* h) noexcept { ::HeapFree(::GetProcessHeap(), 0, h); }
};
struct CoTaskMemCloser {
    template <typename T>
    static void Close(T* h) noexcept { ::CoTaskMemFree(h); }
};
struct EnvironmentBlockCloser { static void Close(void* h) noexcept { ::DestroyEnvironmentBlock(h); } };
struct BoundaryDescriptorCloser { static void Close(HANDLE h) noexcept { ::DeleteBoundaryDescriptor(h); } };
// Closed, never destroyed: the namespace goes when its last holder closes it.
struct PrivateNamespaceCloser { static void Close(HANDLE h) noexcept { ::ClosePrivateNamespace(h, 0); } };

}  // namespace handle_traits

using ScopedHandle = UniqueHandle<handle_traits::KernelHandle>;
using ScopedRegKey = UniqueHandle<handle_traits::NullInvalid<HKEY, handle_traits::RegCloser>>;
using ScopedModule = UniqueHandle<handle_traits::NullInvalid<HMODULE, handle_traits::ModuleCloser>>;
using ScopedLocalMem = UniqueHandle<handle_traits::NullInvalid<HLOCAL, handle_traits::LocalCloser>>;
using ScopedCryptProv = UniqueHandle<handle_traits::NullInvalid<HCRYPTPROV, handle_traits::CryptProvCloser>>;
using ScopedCryptKey = UniqueHandle<handle_traits::NullInvalid<HCRYPTKEY, handle_traits::CryptKeyCloser>>;
using ScopedCryptHash = UniqueHandle<handle_traits::NullInvalid<HCRYPTHASH, handle_traits::CryptHashCloser>>;
using ScopedBstr = UniqueHandle<handle_traits::NullInvalid<BSTR, handle_traits::BstrCloser>>;
using ScopedCertStore = UniqueHandle<handle_traits::NullInvalid<HCERTSTORE, handle_traits::CertStoreCloser>>;
using ScopedCertContext = UniqueHandle<handle_traits::NullInvalid<PCCERT_CONTEXT, handle_traits::CertContextCloser>>;
using ScopedChainContext = UniqueHandle<handle_traits::NullInvalid<PCCERT_CHAIN_CONTEXT, handle_traits::ChainContextCloser>>;
using ScopedCryptMsg = UniqueHandle<handle_traits::NullInvalid<HCRYPTMSG, handle_traits::CryptMsgCloser>>;
// A SID made by AllocateAndInitializeSid.
using ScopedSid = UniqueHandle<handle_traits::NullInvalid<PSID, handle_traits::SidCloser>>;
// A block of the process heap (HeapAlloc(GetProcessHeap(), ...)).
template <typename T = void>
using ScopedProcessHeapBlock = UniqueHandle<handle_traits::NullInvalid<T*, handle_traits::ProcessHeapCloser>>;
// A block the shell or COM hands out for the caller to free (SHGetKnownFolderPath's path).
template <typename T = void>
using ScopedCoTaskMem = UniqueHandle<handle_traits::NullInvalid<T*, handle_traits::CoTaskMemCloser>>;
// A user's environment made by CreateEnvironmentBlock.
using ScopedEnvironmentBlock = UniqueHandle<handle_traits::NullInvalid<void*, handle_traits::EnvironmentBlockCloser>>;
using ScopedBoundaryDescriptor = UniqueHandle<handle_traits::NullInvalid<HANDLE, handle_traits::BoundaryDescriptorCloser>>;
using ScopedPrivateNamespace = UniqueHandle<handle_traits::NullInvalid<HANDLE, handle_traits::PrivateNamespaceCloser>>;
