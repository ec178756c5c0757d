// The data store document: the JSON text shared with the framework's other
// programs, loaded whole into its sections, changed in memory and written back
// whole in a fixed text form:
//   { "oobe":{...},"Packages":[...],"ScheduleTask":[...],"eula":{...},"Entitlement":{...} }
// Callers go through the persistence facade, which loads, operates and saves
// in one locked cycle.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "datastore/DBLock.h"
#include "datastore/PcEncryptedFile.h"
#include "datastore/RapidJasonParser.h"

#include <memory>
#include <string>
#include <vector>

namespace qeldb {
// The cross-process mutex of the data store file, shared with the framework's other programs.
constexpr wchar_t kMutexName[] = L"Global\\{6E0039F4-4B45-4813-BA18-6A255600581E}";
// Where an unreadable data store file is kept before it is replaced.
constexpr wchar_t kUnreadableSuffix[] = L".unreadable";
}  // namespace qeldb

class CQelJsonFormat {
public:
    // The cross-process mutex is waited for at most "DataStoreWaitInSec"
    // (REG_DWORD under the core key, 1 to 30; else 30) in all.
    CQelJsonFormat();
    // The mutex waited for at most `lockWaitMs` in all.
    explicit CQelJsonFormat(DWORD lockWaitMs);
    virtual ~CQelJsonFormat();

    CQelJsonFormat(const CQelJsonFormat&) = delete;
    CQelJsonFormat& operator=(const CQelJsonFormat&) = delete;

    // Reads, deciphers and parses the whole file under the cross-process lock.
    // 1359 without key blob or file path, 1392 when the file cannot be read or
    // deciphered (or another program holds the lock past the run's wait: the
    // file is then not replaced by SaveData either), 1359 when its text is not
    // the document. An existing file
    // that cannot be used is first copied beside itself (kUnreadableSuffix);
    // one that cannot be copied (or was not read because the key did not
    // import) is then not replaced by SaveData.
    virtual DWORD LoadData();
    // Renders, enciphers and writes the whole document under the cross-process lock.
    virtual DWORD SaveData();
    // Empties every section (the key blob, path and file object are kept) and
    // rewinds the sections' arena.
    virtual DWORD ClearData();
    // Drops the file object and the key blob (they are read again on the next load), then ClearData.
    virtual DWORD ResetData();
    virtual DWORD GetJsonData(std::wstring& text);

    virtual DWORD GetOobeState(int& state);
    virtual DWORD SetOobeState(int state);
    virtual DWORD GetEulaState(int& state);
    virtual DWORD SetEulaState(int state);
    virtual DWORD GetOobeParameter(const std::wstring& name, std::wstring& value);
    virtual DWORD SetOobeParameter(const std::wstring& name, const std::wstring& value);
    virtual DWORD GetEulaParameter(const std::wstring& name, std::wstring& value);
    virtual DWORD SetEulaParameter(const std::wstring& name, const std::wstring& value);

    // Adds the name to every record of the package; a value it already holds is kept.
    virtual DWORD SetPkgParameter(const std::wstring& packageId, const std::wstring& name, const std::wstring& value);
    virtual DWORD GetPackage(const std::wstring& packageId, StringMap& record);
    // 2 when the package, the name or a non-empty value is missing.
    virtual DWORD GetPkgParameter(const std::wstring& packageId, const std::wstring& name, std::wstring& value);
    virtual DWORD GetPkgIDs(StringList& ids);

    virtual DWORD GetScheduleTask(const std::wstring& name, StringMap& record);
    // Replaces the first task of that name; the record goes to the end of the list.
    virtual DWORD AddScheduleTask(const std::wstring& name, const StringMap& record);
    virtual DWORD GetScheduleTaskNames(StringList& names);
    virtual DWORD DeleteScheduleTask(const std::wstring& name);
    virtual DWORD DeleteAllScheduleTasks();

    virtual DWORD SetEntParameter(const std::wstring& key, const std::wstring& value);
    // 1168 for an absent key (not logged) and for an empty value (logged).
    virtual DWORD GetEntParameter(const std::wstring& key, std::wstring& value);
    virtual DWORD GetEntParameters(StringMap& parameters);

    // The helpers work on the document's own sections (see DocumentModel.h).
    virtual bool getMapValue(const qeldoc::Section& record, const std::wstring& name, std::wstring& value);
    virtual void insertMapValue(qeldoc::Section& map, const std::wstring& name, const std::wstring& value);
    virtual void appendRecord(qeldoc::Records& list, const std::wstring& name, const std::wstring& value);
    virtual DWORD getRecordValues(const qeldoc::Records& list, const std::wstring& name, StringList& values);
    virtual DWORD parseJson(const std::wstring& text);
    virtual DWORD getJson(std::wstring& text);
    virtual DWORD readDBPath();
    virtual DWORD readKeyBlob();
    virtual DWORD createEncryptedFileObject();

    // The data store file, once a load or save has found it; empty before.
    const std::wstring& FilePath() const { return m_filePath; }
    // False when the last load left an existing file that it could neither
    // read nor keep a copy of (SaveData then does not replace it).
    bool FileReplaceable() const { return !m_fileNotReplaceable; }
    // Whether the key blob was imported (false before the first load or save).
    bool KeyImported() const { return m_file && m_file->KeyImported(); }
    // The cross-process mutex of the store, for a caller that holds it over a
    // whole load-change-save cycle (it is re-entrant for its owner).
    CSingleMutexForAllUser& CrossProcessLock() { return m_lock; }
    // The file's text exactly as stored: deciphered, not parsed (for
    // inspection). 1359 without key blob or path, 1392 when it cannot be read
    // or deciphered.
    [[nodiscard]] DWORD ReadStoredText(std::wstring& text);

private:
    [[nodiscard]] DWORD prepareFileAccess();
    void keepUnreadableFile(bool keyImported);
    [[nodiscard]] DWORD parseText(const char16_t* text, size_t length);
    // The whole document text, appended to text.
    [[nodiscard]] DWORD render(std::u16string& text);

    // The sections (the document's text is read and written by
    // qeldoc::ReadDocument and qeldoc::RenderDocument).
    qeldoc::Document m_document;
    CSingleMutexForAllUser m_lock;
    SharedBuffer m_keyBlob;
    std::wstring m_filePath;
    std::shared_ptr<CPcEncryptedFile> m_file;
    CRapidJasonParser m_parser;
    // The file's plaintext on load and the document's text on save, kept from
    // cycle to cycle so that a cycle reuses memory it has already touched.
    std::vector<BYTE> m_loadBuffer;
    std::u16string m_saveText;
    // The last load left an existing file that it could neither read nor
    // keep a copy of: no save replaces it.
    bool m_fileNotReplaceable = false;
};
