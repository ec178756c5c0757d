#include "common/Platform.h"

#include "base/OSInfo.h"

#include "common/ExceptionBoundary.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

namespace Stratum {
namespace {

// The system folder, asked of the shell once per process; empty when it
// cannot be determined.
const std::wstring& SystemFolder()
{
    static const std::wstring folder = [] {
        std::wstring path;
        ScopedCoTaskMem<wchar_t> text;  // owed even when the call fails
        if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, text.Put())) && text) path = text.Get();
        return path;
    }();
    return folder;
}

}  // namespace

FileVersionInfo::~FileVersionInfo() = default;

bool FileVersionInfo::Load(const wchar_t* path)
{
    if (m_loadAttempted) return m_loaded;
    m_loadAttempted = true;
    if (!path) return false;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    std::vector<BYTE> data;
    const bool sized = boundary::Run(
        [&] {
            data.resize(size);
            return true;
        },
        [](boundary::Escaped) { return false; });
    if (!sized) return false;
    if (!::GetFileVersionInfoW(path, 0, size, data.data())) return false;
    m_data.swap(data);
    m_loaded = true;
    return true;
}

std::vector<FileVersionInfo::Translation> FileVersionInfo::translations() const
{
    std::vector<Translation> result;
    if (!m_loaded) return result;
    void* pairs = nullptr;
    UINT bytes = 0;
    if (!::VerQueryValueW(m_data.data(), L"\\VarFileInfo\\Translation", &pairs, &bytes) || !pairs) return result;
    const auto* first = static_cast<const Translation*>(pairs);
    result.assign(first, first + bytes / sizeof(Translation));
    return result;
}

void FileVersionInfo::GetString(const wchar_t* name, std::wstring& value) const
{
    value.clear();
    if (!m_loaded || !name) return;
    for (const Translation& t : translations()) {
        const std::wstring query = FormatWide(L"\\StringFileInfo\\%04X%04X\\%s", t.language, t.codePage, name);
        void* text = nullptr;
        UINT chars = 0;
        if (::VerQueryValueW(m_data.data(), query.c_str(), &text, &chars) && text) {
            value = static_cast<const wchar_t*>(text);
            return;
        }
    }
}

bool FileVersionInfo::GetFirstTranslation(WORD& language, WORD& codePage) const
{
    const std::vector<Translation> all = translations();
    if (all.empty()) return false;
    language = all.front().language;
    codePage = all.front().codePage;
    return true;
}

bool SystemFileVersionInfo::Load(const wchar_t* fileName)
{
    const std::wstring path = SystemFolder() + L"\\" + (fileName ? fileName : L"");
    return FileVersionInfo::Load(path.c_str());
}

BOOL WinOSVersionAPI::VerifyVersionInfoW(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask)
{
    return ::VerifyVersionInfoW(&info, typeMask, conditionMask);
}

namespace internal {

bool ParseProductVersion(const std::wstring& text, DWORD (&parts)[4])
{
    DWORD parsed[4] = {};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = text.find(L'.', start);
        const size_t end = dot == std::wstring::npos ? text.size() : dot;
        if (end == start) return false;
        ULONGLONG number = 0;
        for (size_t k = start; k < end; ++k) {
            const wchar_t c = text[k];
            if (c < L'0' || c > L'9') return false;
            number = number * 10 + static_cast<ULONGLONG>(c - L'0');
            if (number > MAXDWORD) return false;
        }
        parsed[i] = static_cast<DWORD>(number);
        if (dot == std::wstring::npos) break;
        start = dot + 1;
    }
    for (int i = 0; i < 4; ++i) parts[i] = parsed[i];
    return true;
}

DWORD NtKind(DWORD major, DWORD minor)
{
    if (major < 5) return kOSKindNT4;
    if (major == 5) return minor == 0 ? kOSKindWin2000 : kOSKindWinXP;
    if (major == 6) {
        switch (minor) {
        case 0: return kOSKindVista;
        case 1: return kOSKindWin7;
        case 2: return kOSKindWin8;
        default: return kOSKindWin81;
        }
    }
    if (major == 10) return kOSKindWin10;
    return kOSKindUnknownNT;
}

DWORD Win9xKind(DWORD minor)
{
    if (minor == 0) return kOSKindWin95;
    return minor < 90 ? kOSKindWin98 : kOSKindWinMe;
}

WORD HighestServicePack(DWORD kind)
{
    switch (kind) {
    case kOSKindWin2000: return 4;
    case kOSKindWinXP: return 3;
    case kOSKindVista: return 2;
    case kOSKindWin7: return 1;
    default: return 0;
    }
}

std::wstring ReadKernel32ProductVersion()
{
    SystemFileVersionInfo kernel32;
    std::wstring version;
    if (kernel32.Load(L"kernel32.dll")) kernel32.GetString(L"ProductVersion", version);
    return version;
}

bool CurrentProcessIsWow64()
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    if (!kernel) return false;
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(::GetCurrentProcess(), &wow64) && wow64;
}

template class OSInfoProxy<WinOSVersionAPI>;

}  // namespace internal
}  // namespace Stratum
