// trustsetup: makes the test machine trust root certificates of the test PKI,
// as an administrator does on Windows: the certificate goes into the
// machine's "Root" store (HKLM\Software\Microsoft\SystemCertificates\Root).
// Wine keeps no certificate added through the system store provider, so the
// store is opened on that registry key directly.
//
//   trustsetup add-root FILE.crt...     PEM or DER certificates
#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kRootStoreKey[] = L"Software\\Microsoft\\SystemCertificates\\Root";

bool ReadFileBytes(const wchar_t* path, std::vector<BYTE>& bytes)
{
    ScopedHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart > 1024 * 1024) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
           read == bytes.size();
}

// DER from a PEM file ("-----BEGIN CERTIFICATE-----"), or the bytes as they are.
std::vector<BYTE> Der(const std::vector<BYTE>& file)
{
    DWORD size = 0;
    const auto* text = reinterpret_cast<const char*>(file.data());
    if (!::CryptStringToBinaryA(text, static_cast<DWORD>(file.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                nullptr, nullptr)) {
        return file;
    }
    std::vector<BYTE> der(size);
    ::CryptStringToBinaryA(text, static_cast<DWORD>(file.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                           nullptr, nullptr);
    der.resize(size);
    return der;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3 || std::wstring(argv[1]) != L"add-root") {
        std::fputs("usage: trustsetup add-root FILE.crt...\n", stderr);
        return 1;
    }
    ScopedRegKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRootStoreKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                          nullptr) != ERROR_SUCCESS) {
        std::fputs("trustsetup: cannot open the machine's Root store key\n", stderr);
        return 2;
    }
    ScopedCertStore store(::CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key.Get()));
    if (!store) {
        std::fputs("trustsetup: cannot open the machine's Root store\n", stderr);
        return 2;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        std::vector<BYTE> file;
        const std::vector<BYTE> der = ReadFileBytes(argv[i], file) ? Der(file) : std::vector<BYTE>();
        if (der.empty() || !::CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der.data(),
                                                                static_cast<DWORD>(der.size()),
                                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            std::fprintf(stderr, "trustsetup: %ls is not a certificate that could be added (%lu)\n", argv[i],
                         ::GetLastError());
            status = 3;
        }
    }
    return status;
}
