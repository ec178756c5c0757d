// Operating-system and file version facts of the base library.
//
// The running Windows version is not taken from GetVersionEx, which
// compatibility shims bend: it is read from the product version of the
// system's own kernel32.dll and confirmed with VerifyVersionInfoW.
#pragma once

#include "common/Platform.h"

#include <string>
#include <utility>
#include <vector>

namespace Stratum {

// String values of one file's version resource.
class FileVersionInfo {
public:
    FileVersionInfo() = default;
    FileVersionInfo(const FileVersionInfo&) = delete;
    FileVersionInfo& operator=(const FileVersionInfo&) = delete;

    virtual ~FileVersionInfo();
    // Reads the version resource once per object: the first call decides, later
    // calls answer what it found. True only when the data was read.
    virtual bool Load(const wchar_t* path);
    // The named string of the first translation (in the resource's order) that
    // carries it; empty when none does or nothing was loaded.
    virtual void GetString(const wchar_t* name, std::wstring& value) const;

    // The first language and code-page pair of "\VarFileInfo\Translation";
    // false (arguments untouched) when there is none.
    [[nodiscard]] bool GetFirstTranslation(WORD& language, WORD& codePage) const;
    bool IsLoaded() const { return m_loaded; }

private:
    struct Translation {
        WORD language;
        WORD codePage;
    };
    // The resource's translations; an empty list when it has none.
    std::vector<Translation> translations() const;

    bool m_loadAttempted = false;
    bool m_loaded = false;
    std::vector<BYTE> m_data;
};

// A file of the system folder, named without a path.
class SystemFileVersionInfo : public FileVersionInfo {
public:
    bool Load(const wchar_t* fileName) override;
};

// The OS kinds, by platform and the first two numbers of kernel32's product version.
enum OSKind : DWORD {
    kOSKindUndetermined = 0,
    kOSKindWin95 = 1,         // 9x platform, minor 0
    kOSKindWin98 = 2,         // 9x platform, minor 1 to 89
    kOSKindNT4 = 3,           // NT below 5
    kOSKindWin2000 = 4,       // NT 5.0
    kOSKindWinMe = 5,         // 9x platform, minor 90 and above
    kOSKindWinXP = 6,         // NT 5.x, x not 0
    kOSKindVista = 7,         // NT 6.0
    kOSKindWin7 = 8,          // NT 6.1
    kOSKindWin8 = 9,          // NT 6.2
    kOSKindWin81 = 10,        // NT 6.x, x above 2
    kOSKindWin10 = 11,        // NT 10.x
    kOSKindUnknownNT = 12,    // any other NT version
};

enum OSBitness : DWORD {
    kOSBitness32 = 0,            // a 32-bit system (or a process that is not under WOW64)
    kOSBitnessWow64 = 1,         // the process runs under WOW64 on a 64-bit system
    kOSBitnessUndetermined = 2,
};

struct OSVersionRecord {
    DWORD major = 0;
    DWORD minor = 0;
    WORD servicePackMajor = 0;
};

// The platform query behind OSInfoProxy.
class WinOSVersionAPI {
public:
    BOOL VerifyVersionInfoW(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask);
};

namespace internal {

// Splits "a.b.c.d" at the dots and parses up to four unsigned decimal parts
// (missing parts are 0). False when a part is not a number.
[[nodiscard]] bool ParseProductVersion(const std::wstring& text, DWORD (&parts)[4]);
// The kind of an NT system of this major and minor version.
DWORD NtKind(DWORD major, DWORD minor);
// The kind of a Windows 9x system of this minor version.
DWORD Win9xKind(DWORD minor);
// The highest service-pack major that the kind can carry; 0 when it is not probed.
WORD HighestServicePack(DWORD kind);
// "ProductVersion" of the system folder's kernel32.dll; empty when unreadable.
std::wstring ReadKernel32ProductVersion();
// IsWow64Process of the current process, looked up at run time.
bool CurrentProcessIsWow64();

// Answers the version questions for the running system; API is the platform
// query (WinOSVersionAPI, or a test's stand-in). The version resource is read
// and probed once per object, on the first question that needs it.
template <typename API>
class OSInfoProxy {
public:
    explicit OSInfoProxy(API api = API()) : m_api(std::move(api)) {}
    OSInfoProxy(const OSInfoProxy&) = delete;
    OSInfoProxy& operator=(const OSInfoProxy&) = delete;

    virtual ~OSInfoProxy() = default;

    // The kind; 0 when it could not be determined.
    virtual DWORD GetOSKind()
    {
        ensureInitialized();
        return m_kind;
    }

    // The bitness; 2 when it could not be determined.
    virtual DWORD GetBitness()
    {
        ensureInitialized();
        return m_bitness;
    }

    // Always fills the record (zeros while undetermined); true when the
    // version was determined and is one the kind table knows.
    virtual bool GetOSVersion(OSVersionRecord& version)
    {
        ensureInitialized();
        version = m_version;
        return m_kind != kOSKindUndetermined && m_kind != kOSKindUnknownNT;
    }

    virtual void GetKindAndBitness(DWORD& kind, DWORD& bitness)
    {
        ensureInitialized();
        kind = m_kind;
        bitness = m_bitness;
    }

    virtual bool IsWow64Process() { return CurrentProcessIsWow64(); }

    virtual bool IsNTPlatform() { return isPlatform(VER_PLATFORM_WIN32_NT); }

    // The four numbers of kernel32's product version; zeros when unreadable.
    virtual void GetProductVersion(DWORD& major, DWORD& minor, DWORD& build, DWORD& revision)
    {
        ensureInitialized();
        major = m_productVersion[0];
        minor = m_productVersion[1];
        build = m_productVersion[2];
        revision = m_productVersion[3];
    }

protected:
    // Where the product version text comes from.
    virtual std::wstring readProductVersion() { return ReadKernel32ProductVersion(); }

private:
    void ensureInitialized() { ::InitOnceExecuteOnce(&m_once, &OSInfoProxy::initOnce, this, nullptr); }

    static BOOL CALLBACK initOnce(PINIT_ONCE, PVOID self, PVOID*)
    {
        static_cast<OSInfoProxy*>(self)->initialize();
        return TRUE;
    }

    void initialize()
    {
        DWORD parts[4] = {};
        if (!ParseProductVersion(readProductVersion(), parts)) return;
        for (int i = 0; i < 4; ++i) m_productVersion[i] = parts[i];

        if (isPlatform(VER_PLATFORM_WIN32_WINDOWS)) {
            // On the 9x line the minor version is asked of the platform itself.
            m_version.major = 4;
            m_version.minor = findWin9xMinor();
            m_version.servicePackMajor = 0;
            m_kind = Win9xKind(m_version.minor);
            m_bitness = kOSBitness32;
            return;
        }
        if (!isPlatform(VER_PLATFORM_WIN32_NT)) return;

        m_version.major = parts[0];
        m_version.minor = parts[1];
        m_kind = NtKind(parts[0], parts[1]);
        m_version.servicePackMajor = 0;
        for (WORD sp = HighestServicePack(m_kind); sp > 0; --sp) {
            if (hasServicePack(sp)) {
                m_version.servicePackMajor = sp;
                break;
            }
        }
        // Before XP every system counts as 32-bit.
        m_bitness = (m_kind >= kOSKindWinXP && IsWow64Process()) ? kOSBitnessWow64 : kOSBitness32;
    }

    bool isPlatform(DWORD platformId)
    {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwPlatformId = platformId;
        return m_api.VerifyVersionInfoW(info, VER_PLATFORMID, ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) !=
               FALSE;
    }

    bool hasServicePack(WORD servicePack)
    {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.wServicePackMajor = servicePack;
        return m_api.VerifyVersionInfoW(info, VER_SERVICEPACKMAJOR,
                                        ::VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_EQUAL)) != FALSE;
    }

    // Whether the 9x system's version is 4.minor or later.
    bool win9xMinorAtLeast(DWORD minor)
    {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = 4;
        info.dwMinorVersion = minor;
        DWORDLONG conditions = ::VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL);
        conditions = ::VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
        return m_api.VerifyVersionInfoW(info, VER_MAJORVERSION | VER_MINORVERSION, conditions) != FALSE;
    }

    // The minor version within 0..100: steps of 8 bracket it, halving pins it.
    DWORD findWin9xMinor()
    {
        constexpr DWORD kHighest = 100;
        DWORD low = 0;  // the minor is at least `low`...
        DWORD high = 8;  // ...and below `high`
        while (high <= kHighest && win9xMinorAtLeast(high)) {
            low = high;
            high += 8;
        }
        if (high > kHighest) high = kHighest + 1;
        while (high - low > 1) {
            const DWORD middle = low + (high - low) / 2;
            if (win9xMinorAtLeast(middle)) {
                low = middle;
            } else {
                high = middle;
            }
        }
        return low;
    }

    API m_api;
    INIT_ONCE m_once = INIT_ONCE_STATIC_INIT;
    OSVersionRecord m_version;
    DWORD m_productVersion[4] = {};
    DWORD m_kind = kOSKindUndetermined;
    DWORD m_bitness = kOSBitnessUndetermined;
};

extern template class OSInfoProxy<WinOSVersionAPI>;

}  // namespace internal

using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;

}  // namespace Stratum
