// qelstore: the data store admin tool. Every read and change goes through the
// product's own classes (the persistence facade and the document), so the tool
// sees and writes exactly what the framework's programs do.
#include "common/Platform.h"

#include "base/RegKey.h"
#include "config/PCReg.h"
#include "config/QELConfig.h"
#include "config/QELSettings.h"
#include "datastore/PCCrypt.h"
#include "datastore/PcFile.h"
#include "datastore/QelPersistenceData.h"
#include "datastore/RapidJasonParser.h"
#include "logging/Log.h"
#include "scheduler/QelSchedulerConfig.h"
#include "tools/ToolConsole.h"

#include <rapidjson/reader.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <wincrypt.h>

#include <array>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Exit codes.
enum : int {
    kDone = 0,
    kUsage = 1,
    kNotFound = 2,
    kNotProvisioned = 3,
    kUnreadable = 4,
    kWriteFailed = 5,
    kRefused = 6,
};

constexpr wchar_t kUsageText[] =
    L"qelstore: the QEL data store admin tool\n"
    L"\n"
    L"usage: qelstore <command> [arguments]\n"
    L"\n"
    L"  keygen [--force] [--key HEX]  write a new AES-256 data store key (random, or the 64 hex digits given)\n"
    L"                                to HKLM\\SOFTWARE\\Tarsen\\QEL\\CORE \"DataStore\"; an existing key is\n"
    L"                                replaced only with --force (files written with it can then not be read)\n"
    L"  init [--force]                initialise the store: \"InitializeDbTime\" = now, OOBE and EULA state 0;\n"
    L"                                --force also when the present file cannot be read (it is kept as\n"
    L"                                qeldata.dat.unreadable)\n"
    L"  dump [--raw]                  the deciphered document, pretty-printed; --raw: the stored text exactly\n"
    L"  get status [KEY]              one status parameter (\"Entitlement\"), or all of them as KEY=VALUE\n"
    L"  set status KEY VALUE\n"
    L"  get oobe NAME                 an OOBE parameter;  set oobe NAME VALUE\n"
    L"  get eula NAME                 a EULA parameter;   set eula NAME VALUE\n"
    L"  get oobestate | get eulastate\n"
    L"  set oobestate N | set eulastate N\n"
    L"  set package PKGID NAME VALUE  add a parameter to a package record (created when missing);\n"
    L"                                a value the package already holds is kept\n"
    L"  tasks                         the scheduler task records: the registry's (HKLM\\SOFTWARE\\Tarsen\\QEL\\\n"
    L"                                SCHEDULER, as the scheduler reads them), then the data store's\n"
    L"  packages                      the package records\n"
    L"  --help                        this text\n"
    L"\n"
    L"The store file is HKLM\\SOFTWARE\\Tarsen\\QEL\\CORE \"DBPath\" + \\qeldata.dat. Text goes out as UTF-8\n"
    L"when redirected.\n"
    L"Exit codes: 0 done, 1 usage, 2 not found, 3 no key or no \"DBPath\", 4 the store file cannot be\n"
    L"read, 5 the store could not be written, 6 refused (a key exists).\n";

void Out(const std::wstring& text) { WriteText(STD_OUTPUT_HANDLE, text); }

int Fail(int code, const std::wstring& message)
{
    WriteText(STD_ERROR_HANDLE, L"qelstore: " + message + L"\n");
    return code;
}

const wchar_t* Key() { return L"HKLM\\SOFTWARE\\Tarsen\\QEL\\CORE \"DataStore\""; }

bool HasKeyBlob()
{
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    SharedBuffer blob;
    return settings.GetDataStore(blob) == ERROR_SUCCESS && blob;
}

// Whether the store can be used, and why not. `changing`: a missing file is
// then the normal first use.
int CheckStore(bool changing, bool replaceUnreadable = false)
{
    CQelJsonFormat probe;
    const DWORD rc = probe.LoadData();
    if (rc == ERROR_SUCCESS) return kDone;
    if (!HasKeyBlob()) {
        return Fail(kNotProvisioned, std::wstring(L"the machine has no data store key: ") + Key() +
                                         L" is missing or not binary (see 'qelstore keygen')");
    }
    const std::wstring path = probe.FilePath();
    if (path.empty()) {
        return Fail(kNotProvisioned,
                    L"the machine has no data store folder: HKLM\\SOFTWARE\\Tarsen\\QEL\\CORE \"DBPath\" is missing or empty");
    }
    if (!CPcFile().FileExists(path)) {
        if (changing) return kDone;
        return Fail(kNotFound, L"there is no data store file yet: " + path);
    }
    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (!replaceUnreadable && ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &file) &&
        !(file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && file.nFileSizeHigh == 0 && file.nFileSizeLow == 0) {
        return Fail(kUnreadable, L"the data store file is empty: " + path + L" ('qelstore init --force' starts a new store)");
    }
    if (!probe.KeyImported()) {
        return Fail(kNotProvisioned, std::wstring(L"the key could not be imported: ") + Key() +
                                         L" is not a key blob this machine's provider accepts (see 'qelstore keygen'); " +
                                         path + L" was not read and is left as it is");
    }
    if (!probe.FileReplaceable()) {
        return Fail(kUnreadable, L"the data store file cannot be read, and no copy of it could be kept (it is in use, "
                                 L"or not a file): " + path + L"; it is left as it is");
    }
    if (replaceUnreadable) {
        WriteText(STD_ERROR_HANDLE, L"qelstore: replacing the unreadable data store file " + path + L"; it is kept as " +
                                    path + qeldb::kUnreadableSuffix + L"\n");
        return kDone;
    }
    return Fail(kUnreadable, L"the data store file cannot be read (another key, or damaged): " + path +
                                 L"\n  a copy is kept as " + path + qeldb::kUnreadableSuffix +
                                 L"; 'qelstore dump --raw' shows what it deciphers to, "
                                 L"'qelstore init --force' replaces it");
}

int Written(DWORD rc, const wchar_t* what)
{
    if (rc == ERROR_SUCCESS) return kDone;
    return Fail(kWriteFailed, std::wstring(L"could not write ") + what + L" (error " + std::to_wstring(rc) +
                                  L"; the program's log has the details)");
}

bool ParseHexKey(const std::wstring& hex, std::array<BYTE, 32>& key)
{
    if (hex.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) {
        unsigned value = 0;
        for (size_t j = 0; j < 2; ++j) {
            const wchar_t c = hex[2 * i + j];
            value <<= 4;
            if (c >= L'0' && c <= L'9') {
                value |= static_cast<unsigned>(c - L'0');
            } else if (c >= L'a' && c <= L'f') {
                value |= static_cast<unsigned>(c - L'a' + 10);
            } else if (c >= L'A' && c <= L'F') {
                value |= static_cast<unsigned>(c - L'A' + 10);
            } else {
                return false;
            }
        }
        key[i] = static_cast<BYTE>(value);
    }
    return true;
}

int KeyGen(const std::vector<std::wstring>& args)
{
    bool force = false;
    std::wstring hex;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--force") {
            force = true;
        } else if (args[i] == L"--key" && i + 1 < args.size()) {
            hex = args[++i];
        } else {
            return Fail(kUsage, L"keygen takes --force and --key HEX only");
        }
    }

    std::array<BYTE, 32> key{};
    ScopedCryptProv provider;
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return Fail(kWriteFailed, L"no AES provider (error " + std::to_wstring(::GetLastError()) + L")");
    }
    if (!hex.empty()) {
        if (!ParseHexKey(hex, key)) return Fail(kUsage, L"--key takes exactly 64 hex digits (32 bytes)");
    } else if (!::CryptGenRandom(provider.Get(), static_cast<DWORD>(key.size()), key.data())) {
        return Fail(kWriteFailed, L"no random bytes (error " + std::to_wstring(::GetLastError()) + L")");
    }

    // PLAINTEXTKEYBLOB, AES-256: the header, the key size, the key, then zeros
    // up to the fixed length every program of the framework imports.
    std::vector<BYTE> blob(CPcCrypt::kKeyBlobLength, 0);
    BLOBHEADER header{};
    header.bType = PLAINTEXTKEYBLOB;
    header.bVersion = CUR_BLOB_VERSION;
    header.aiKeyAlg = CALG_AES_256;
    const DWORD keySize = static_cast<DWORD>(key.size());
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), &keySize, sizeof(keySize));
    std::memcpy(blob.data() + sizeof(header) + sizeof(keySize), key.data(), key.size());
    ::SecureZeroMemory(key.data(), key.size());
    ScopedCryptKey check;
    if (!::CryptImportKey(provider.Get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, check.Put())) {
        return Fail(kWriteFailed, L"the provider refuses the new key (error " + std::to_wstring(::GetLastError()) + L")");
    }

    const REGSAM view = CPCReg().ViewFlags();
    Stratum::CRegKey core;
    if (core.Create(HKEY_LOCAL_MACHINE, qelkeys::kCore, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_READ | KEY_WRITE | view) != ERROR_SUCCESS) {
        return Fail(kWriteFailed, L"cannot open HKLM\\SOFTWARE\\Tarsen\\QEL\\CORE for writing (run as administrator)");
    }
    DWORD type = 0;
    ULONG existing = 0;
    if (core.QueryValue(L"DataStore", &type, nullptr, &existing) == ERROR_SUCCESS) {
        if (!force) {
            return Fail(kRefused, std::wstring(L"a data store key exists already (") + Key() +
                                      L"); files written with it cannot be read once it is replaced. "
                                      L"Use --force to replace it.");
        }
        CQELSettings settings(std::make_shared<CQELRegConfig>());
        std::wstring path;
        settings.GetDBPath(path);
        if (path.size() > 1 + std::wcslen(CQELSettings::kDataStoreFileName) && CPcFile().FileExists(path)) {
            WriteText(STD_ERROR_HANDLE, L"qelstore: " + path +
                                        L" was written with the old key and cannot be read with the new one; "
                                        L"the next change to the store keeps it as " + path +
                                        qeldb::kUnreadableSuffix +
                                        L" and starts a new store ('qelstore init --force' does so now)\n");
        }
    }
    const LONG rc = core.SetBinaryValue(L"DataStore", blob.data(), static_cast<ULONG>(blob.size()));
    ::SecureZeroMemory(blob.data(), blob.size());
    if (rc != ERROR_SUCCESS) return Fail(kWriteFailed, L"cannot write the key (error " + std::to_wstring(rc) + L")");
    Out(std::wstring(L"data store key written to ") + Key() + L"\n");
    return kDone;
}

int Init(const std::vector<std::wstring>& args)
{
    const bool force = args.size() == 1 && args[0] == L"--force";
    if (!args.empty() && !force) return Fail(kUsage, L"init takes --force only");
    const int check = CheckStore(true, force);
    if (check != kDone) return check;
    const int rc = Written(CQelPersistenceData().InitializeDatabase(), L"the data store");
    if (rc == kDone) Out(L"data store initialised\n");
    return rc;
}

// The text indented, read and written in one pass (no document tree, so deep
// nesting costs no call stack); a text that is not JSON as it is.
std::wstring Pretty(const std::wstring& text)
{
    using Utf16 = rapidjson::UTF16<wchar_t>;
    rapidjson::GenericStringBuffer<Utf16> buffer;
    rapidjson::PrettyWriter<rapidjson::GenericStringBuffer<Utf16>, Utf16, Utf16> writer(buffer);
    writer.SetIndent(L' ', 2);
    rapidjson::GenericReader<Utf16, Utf16> reader;
    rapidjson::GenericStringStream<Utf16> stream(text.c_str());
    if (reader.Parse<rapidjson::kParseIterativeFlag>(stream, writer).IsError()) return text + L"\n";
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t)) + L"\n";
}

int Dump(const std::vector<std::wstring>& args)
{
    const bool raw = args.size() == 1 && args[0] == L"--raw";
    if (!args.empty() && !raw) return Fail(kUsage, L"dump takes --raw only");
    if (raw) {
        // What the file deciphers to, even when it is not a valid document.
        CQelJsonFormat document;
        std::wstring text;
        if (document.ReadStoredText(text) == ERROR_SUCCESS) {
            Out(text);
            return kDone;
        }
        const int check = CheckStore(false);
        return check != kDone ? check : Fail(kUnreadable, L"the data store file cannot be read");
    }
    const int check = CheckStore(false);
    if (check != kDone) return check;
    std::wstring text;
    if (CQelPersistenceData().GetJsonData(text) != ERROR_SUCCESS) return Fail(kUnreadable, L"no document text");
    Out(Pretty(text));
    return kDone;
}

int ParseState(const std::wstring& text, int& state)
{
    wchar_t* end = nullptr;
    const long value = std::wcstol(text.c_str(), &end, 10);
    if (text.empty() || *end != L'\0') return Fail(kUsage, L"a state is a decimal number, not '" + text + L"'");
    state = static_cast<int>(value);
    return kDone;
}

int Get(const std::vector<std::wstring>& args)
{
    if (args.empty()) return Fail(kUsage, L"get what? (status, oobe, eula, oobestate, eulastate)");
    const std::wstring& what = args[0];
    const bool known = (what == L"status" && args.size() <= 2) ||
                       ((what == L"oobe" || what == L"eula") && args.size() == 2) ||
                       ((what == L"oobestate" || what == L"eulastate") && args.size() == 1);
    if (!known) return Fail(kUsage, L"unknown or incomplete 'get " + what + L"' (see --help)");
    const int check = CheckStore(false);
    if (check != kDone) return check;

    CQelPersistenceData store;
    std::wstring value;
    if (what == L"status" && args.size() == 1) {
        StringMap all;
        store.GetEntParameters(all);
        for (const auto& [key, text] : all) Out(key + L"=" + text + L"\n");
        return kDone;
    }
    if (what == L"oobestate" || what == L"eulastate") {
        int state = 0;
        const DWORD rc = what == L"oobestate" ? store.GetOobeState(state) : store.GetEulaState(state);
        if (rc != ERROR_SUCCESS) return Fail(kNotFound, what + L" is not set");
        Out(std::to_wstring(state) + L"\n");
        return kDone;
    }
    const std::wstring& name = args[1];
    DWORD rc = ERROR_NOT_FOUND;
    if (what == L"status") rc = store.GetEntParameter(name, value);
    if (what == L"oobe") rc = store.GetOobeParameter(name, value);
    if (what == L"eula") rc = store.GetEulaParameter(name, value);
    if (rc != ERROR_SUCCESS) return Fail(kNotFound, what + L" parameter '" + name + L"' is not set");
    Out(value + L"\n");
    return kDone;
}

int Set(const std::vector<std::wstring>& args)
{
    if (args.empty()) return Fail(kUsage, L"set what? (status, oobe, eula, oobestate, eulastate, package)");
    const std::wstring& what = args[0];
    int state = 0;
    if (what == L"package") {
        if (args.size() != 4) return Fail(kUsage, L"set package PKGID NAME VALUE");
    } else if (what == L"oobestate" || what == L"eulastate") {
        if (args.size() != 2) return Fail(kUsage, L"set " + what + L" N");
        const int parsed = ParseState(args[1], state);
        if (parsed != kDone) return parsed;
    } else if (what != L"status" && what != L"oobe" && what != L"eula") {
        return Fail(kUsage, L"unknown 'set " + what + L"' (see --help)");
    } else if (args.size() != 3) {
        return Fail(kUsage, L"set " + what + L" NAME VALUE");
    }
    const int check = CheckStore(true);
    if (check != kDone) return check;

    CQelPersistenceData store;
    DWORD rc = ERROR_SUCCESS;
    if (what == L"oobestate") rc = store.SetOobeState(state);
    if (what == L"eulastate") rc = store.SetEulaState(state);
    if (what == L"status") rc = store.SetEntParameter(args[1], args[2]);
    if (what == L"oobe") rc = store.SetOobeParameter(args[1], args[2]);
    if (what == L"eula") rc = store.SetEulaParameter(args[1], args[2]);
    if (what == L"package") rc = store.SetPkgParameter(args[1], args[2], args[3]);
    return Written(rc, L"the data store");
}

// Every record of a list section, in list order, with its identifying field
// first, each line after `indent`.
int Records(const wchar_t* section, const wchar_t* idField, const std::wstring& indent = L"")
{
    const int check = CheckStore(false);
    if (check != kDone) return check;
    std::wstring text;
    CQelPersistenceData().GetJsonData(text);
    // The document's sections hold char16_t code units (UTF-16, as wchar_t is here).
    const auto units = [](std::wstring_view wide) { return std::u16string(wide.begin(), wide.end()); };
    const auto wide = [](std::u16string_view units) { return std::wstring(units.begin(), units.end()); };
    const std::u16string document16 = units(text);
    qeldoc::Arena arena;
    qeldoc::ParsedDocument document(&arena);
    if (CRapidJasonParser().JsonToDocument(document16.data(), document16.size(), document) != ERROR_SUCCESS) {
        return Fail(kUnreadable, L"no document text");
    }
    const qeldoc::Records& records = std::wstring_view(section) == L"Packages" ? document.packages : document.tasks;
    if (records.empty()) {
        Out(indent + (document.others.find(units(section)) != document.others.end()
                          ? L"(not a list of records)\n"
                          : L"(none)\n"));
    }
    for (const auto& record : records) {
        const auto id = record.find(units(idField));
        Out(indent + (id != record.end() && !id->second.raw ? wide(id->second.text) + L"\n"
                                                            : std::wstring(L"(no ") + idField + L")\n"));
        for (const auto& [name, value] : record) {
            // Values of another shape (another program's) are shown as the JSON they are.
            if (std::u16string_view(name) != units(idField)) {
                Out(indent + L"  " + wide(name) + (value.raw ? L" (JSON) " : L"=") + wide(value.text) + L"\n");
            }
        }
    }
    return kDone;
}

// The scheduler reads a task from its key under SCHEDULER when there is one,
// else from the data store's list: both are shown, each under its own heading.
// A key is read as the program reads it back (a hostile value reads as zero).
int Tasks(const std::vector<std::wstring>& args)
{
    if (!args.empty()) return Fail(kUsage, L"'tasks' takes no arguments");
    std::wstring key = scheduler::kSchedulerKey;
    key.pop_back();
    Out(L"registry, HKLM\\" + key + L":\n");
    StringList names;
    CPCReg().EnumRegKeys(key, names);
    if (names.empty()) Out(L"  (none)\n");
    for (const auto& name : names) {
        SchedulerTaskRecord record;
        StringMap fields;
        CQelScheduleTaskConfig(name).ReadRecord(record);
        TaskToMap(record, fields);
        Out(L"  " + name + L"\n");
        for (const auto& [field, value] : fields) {
            if (field != L"Name") Out(L"    " + field + L"=" + value + L"\n");
        }
    }
    Out(L"data store, \"ScheduleTask\":\n");
    return Records(L"ScheduleTask", L"Name", L"  ");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    HMODULE self = ::GetModuleHandleW(nullptr);
    SetLoggerStartupValues(L"QEL", nullptr, self, 0, 0);

    const std::wstring command = argc > 1 ? argv[1] : L"";
    const std::vector<std::wstring> args(argv + (argc > 2 ? 2 : argc), argv + argc);
    QEL_LOG(LOG_INFORMATION, L"qelstore %s", command.c_str());

    if (command == L"--help" || command == L"-h" || command == L"/?") {
        Out(kUsageText);
        return kDone;
    }
    if (command == L"keygen") return KeyGen(args);
    if (command == L"init") return Init(args);
    if (command == L"dump") return Dump(args);
    if (command == L"get") return Get(args);
    if (command == L"set") return Set(args);
    if (command == L"tasks") return Tasks(args);
    if (command == L"packages") {
        return args.empty() ? Records(L"Packages", L"PkgID") : Fail(kUsage, L"'packages' takes no arguments");
    }
    WriteText(STD_ERROR_HANDLE, command.empty() ? std::wstring(L"qelstore: no command given\n\n")
                                            : L"qelstore: unknown command '" + command + L"'\n\n");
    WriteText(STD_ERROR_HANDLE, kUsageText);
    return kUsage;
}
