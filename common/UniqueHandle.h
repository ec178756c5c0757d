// One move-only owner for every kind of platform handle, with one alias per
// resource named after what it closes. Reset keeps the thread's last error, so
// an owner going out of scope never hides the code of the call that failed.
#pragma once

#include "Platform.h"

#include <oleauto.h>
#include <wincrypt.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept : m_h(Traits::Invalid()) {}
    explicit UniqueHandle(pointer h) noexcept : m_h(h) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_h(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    pointer Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return Traits::IsValid(m_h); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    pointer Release() noexcept
    {
        pointer h = m_h;
        m_h = Traits::Invalid();
        return h;
    }

    void Reset(pointer h = Traits::Invalid()) noexcept
    {
        if (m_h == h) return;
        const DWORD lastError = ::GetLastError();
        if (Traits::IsValid(m_h)) Traits::Close(m_h);
        m_h = h;
        ::SetLastError(lastError);
    }

    // Closes what is held and hands out the slot for an API that fills it.
    pointer* Put() noexcept
    {
        Reset();
        return &m_h;
    }

private:
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
