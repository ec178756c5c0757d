// The file back end: text lines in rotating UTF-16 files below
//   <ProgramData>\Tarsen\TSLOGS\<group>\<module>\<module>NNN.log
// configured by "log.ini" (section "Config") in that folder and in TSLOGS.
// Nothing is written unless the log folder exists: creating it is what turns
// file logging on for a program. Any user may create that folder, or names in
// it, first: the folder is used only when it is what it claims (no link on
// the way from the program-data folder, its owner LocalSystem, Administrators
// or this process's account), and no log file or "log.ini" is written
// through a link.
#pragma once

#include "common/UniqueHandle.h"
#include "logging/LoggingIf.h"

#include <atomic>
#include <string>

namespace ETWLogging {

class CLogging : public CLoggingIf {
public:
    CLogging();
    ~CLogging() override;

    DWORD Initialize(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD reserved) override;
    DWORD EnsureReady() override { return ERROR_SUCCESS; }
    DWORD Shutdown();
    DWORD Flush();
    DWORD LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    BOOL IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD entries);
    DWORD GetMaxEntries() const { return m_maxEntries; }
    void SetMaxSize(DWORD bytes);
    DWORD GetMaxSize() const { return m_maxSize; }
    void SetSeverity(DWORD severity);
    DWORD GetSeverity() const { return m_severity; }
    ULONG AddRef() override;
    ULONG Release() override;
    // <ProgramData> as the system reports it (created when missing); empty on failure.
    static std::wstring GetProgramDataFolder();

    DWORD GetOptions() const { return m_options; }
    DWORD GetEnable() const { return m_enable; }
    const std::wstring& LogFolder() const { return m_logFolder; }
    const std::wstring& AppIniPath() const { return m_appIni; }
    const std::wstring& GlobalIniPath() const { return m_globalIni; }
    std::wstring LogFilePath(DWORD index) const;

    static constexpr DWORD kDefaultMaxSize = 0x40000;
    static constexpr DWORD kDefaultMaxEntries = 3;
    static constexpr DWORD kDefaultSeverity = 3;
    static constexpr DWORD kDefaultOptions = 0x10;
    static constexpr DWORD kErrorAlreadyInitialized = 20001;
    static constexpr DWORD kErrorNotInitialized = 20002;

private:
    void readConfiguration();
    bool firstUseCheck();
    DWORD readLastLogIdx() const;
    void storeLastLogIdx(DWORD index) const;
    [[nodiscard]] DWORD openCurrentFile(ScopedHandle& file);
    // Empty when the log folder may be written; else why not (the folder is
    // then held open, so that it cannot be moved away while the run logs).
    std::wstring trustLogFolder();
    // The log file of that index, emptied when `empty` (a new file, with a
    // byte-order mark, when `created` comes back true).
    [[nodiscard]] DWORD openLogFile(DWORD index, bool empty, ScopedHandle& file, bool& created);

    std::atomic<ULONG> m_refs{0};
    bool m_initialized = false;
    std::wstring m_group;
    std::wstring m_moduleName;
    std::wstring m_exeName;
    std::wstring m_host;
    bool m_hasHost = false;
    DWORD m_processId = 0;
    HMODULE m_module = nullptr;
    std::wstring m_programData;
    std::wstring m_logFolder;
    ScopedHandle m_folder;  // the log folder, held while the run logs
    std::wstring m_appIni;
    std::wstring m_globalIni;
    ScopedHandle m_mutex;  // never set by this program: no wait happens
    DWORD m_maxSize = kDefaultMaxSize;
    DWORD m_maxEntries = kDefaultMaxEntries;
    DWORD m_severity = kDefaultSeverity;
    DWORD m_options = kDefaultOptions;
    DWORD m_enable = 1;
    bool m_firstUseChecked = false;
};

}  // namespace ETWLogging
