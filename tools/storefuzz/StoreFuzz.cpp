// storefuzz: the store fuzz target's corpus (fuzz/corpus/store) replayed
// under Windows, for what only the program itself has there: the cipher, the
// file path (unreadable copies, crash-safe saves) and a 16-bit wchar_t. Each
// input goes through the document and through the file, its ciphertext as
// written, cut and grown: it must load and be written back as a text that
// loads to the same content (the same text again), or be refused with 87
// (1392 or 1359 through the file, with the file kept aside). A test of the
// main build runs it; the fuzzing itself is fuzz/'s.
//   storefuzz --replay FILE|FOLDER...   inputs read as the fuzz targets read them (fuzz/FuzzText.h)
#include "common/Platform.h"

#include "bench/StoreSupport.h"
#include "datastore/QelJsonFormat.h"
#include "fuzz/FuzzText.h"
#include "logging/LoggingIf.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The store's log lines are not wanted here: thousands of refusals.
class Silent : public ETWLogging::CLoggingIf, public ETWLogging::CLogBuilderIf {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return ERROR_SUCCESS; }
    DWORD EnsureReady() override { return ERROR_SUCCESS; }
    DWORD LogText(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override { return ERROR_SUCCESS; }
    BOOL IsLevelEnabled(DWORD) override { return FALSE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override
    {
        *logger = this;
        return true;
    }
};

int g_found = 0;

void Finding(const std::wstring& input, const std::string& why)
{
    ++g_found;
    printf("FINDING %ls: %s\n", input.c_str(), why.c_str());
    fflush(stdout);
}

class Checks {
public:
    explicit Checks(const std::wstring& storeFile) : m_storeFile(storeFile) {}

    // Whether the text loads; findings are reported under the input's name.
    bool Run(const std::wstring& name, const std::wstring& text)
    {
        const bool loaded = Document(name, text);
        // The ciphertext as written, cut in its last block, without its last
        // block (a text cut short that may still decipher), and grown.
        for (const int change : {0, -1, -16, 8}) File(name, text, change);
        return loaded;
    }

private:
    bool Document(const std::wstring& name, const std::wstring& text)
    {
        const DWORD rc = m_document.parseJson(text);
        std::wstring first, second;
        const DWORD rendered = rc == ERROR_SUCCESS ? m_document.getJson(first) : rc;
        m_document.ClearData();
        if (rc != ERROR_SUCCESS) {
            if (rc != ERROR_INVALID_PARAMETER) Finding(name, "refused with " + std::to_string(rc));
            return false;
        }
        if (rendered != ERROR_SUCCESS) Finding(name, "loaded but not written: " + std::to_string(rendered));
        const DWORD again = m_again.parseJson(first);
        if (again == ERROR_SUCCESS) m_again.getJson(second);
        m_again.ClearData();
        if (again != ERROR_SUCCESS || second != first) Finding(name, "the written text loads to other content");
        return true;
    }

    // The text enciphered (its bytes cut or grown), through a load and a save.
    void File(const std::wstring& name, const std::wstring& text, int change)
    {
        std::vector<BYTE> bytes(reinterpret_cast<const BYTE*>(text.data()),
                                reinterpret_cast<const BYTE*>(text.data() + text.size()));
        DWORD length = static_cast<DWORD>(bytes.size());
        bytes.resize(length + 32);
        if (length && !::CryptEncrypt(m_key.Get(), 0, TRUE, 0, bytes.data(), &length, static_cast<DWORD>(bytes.size()))) {
            length = 0;
        }
        bytes.resize(length);
        bytes.resize(change < 0 ? bytes.size() - std::min<size_t>(bytes.size(), -change) : bytes.size() + change, 0x55);
        ::DeleteFileW((m_storeFile + L".unreadable").c_str());
        {
            ScopedHandle file(::CreateFileW(m_storeFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
        const DWORD rc = m_document.LoadData();
        std::wstring first, second;
        bool fine = rc == ERROR_SUCCESS || rc == ERROR_FILE_CORRUPT || rc == ERROR_INTERNAL_ERROR;
        const bool copied = ::GetFileAttributesW((m_storeFile + L".unreadable").c_str()) != INVALID_FILE_ATTRIBUTES;
        fine = fine && copied == (rc != ERROR_SUCCESS && !bytes.empty());
        if (rc == ERROR_SUCCESS) {
            fine = fine && m_document.getJson(first) == ERROR_SUCCESS && m_document.SaveData() == ERROR_SUCCESS;
            m_document.ClearData();
            fine = fine && m_document.LoadData() == ERROR_SUCCESS && m_document.getJson(second) == ERROR_SUCCESS &&
                   first == second;
        }
        m_document.ClearData();
        if (!fine) {
            Finding(name, "through the file (" + std::to_string(change) + " bytes): load " + std::to_string(rc) +
                              (copied ? ", copied" : ", not copied"));
        }
    }

    std::wstring m_storeFile;
    CQelJsonFormat m_document, m_again;
    ScopedCryptProv m_provider = [] {
        ScopedCryptProv provider;
        ::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
        return provider;
    }();
    ScopedCryptKey m_key = [this] {
        ScopedCryptKey key;
        const std::vector<BYTE> blob = bench::KeyBlob();
        ::CryptImportKey(m_provider.Get(), blob.data(), 140, 0, 0, key.Put());
        return key;
    }();
};

std::wstring ReadInput(const std::wstring& path)
{
    std::vector<uint8_t> bytes;
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (file && ::GetFileSizeEx(file.Get(), &size)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    const std::u16string units = qelfuzz::Utf16(bytes.data(), bytes.size());
    return std::wstring(units.begin(), units.end());
}

// The files named, and those in the folders named.
std::vector<std::wstring> Inputs(int argc, wchar_t** argv)
{
    std::vector<std::wstring> inputs;
    for (int i = 2; i < argc; ++i) {
        const std::wstring path = argv[i];
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            inputs.push_back(path);
            continue;
        }
        WIN32_FIND_DATAW found{};
        HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) inputs.push_back(path + L"\\" + found.cFileName);
        }
        if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
    }
    return inputs;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    static Silent silent;
    ETWLogging::UseLogBuilder(&silent);
    std::wstring storeFile;
    if (argc < 3 || std::wstring(argv[1]) != L"--replay" || !bench::Provision(storeFile)) {
        fprintf(stderr, "usage: storefuzz --replay FILE|FOLDER...\n");
        return 1;
    }
    Checks checks(storeFile);
    const std::vector<std::wstring> inputs = Inputs(argc, argv);
    size_t loaded = 0;
    for (const auto& input : inputs) loaded += checks.Run(input, ReadInput(input)) ? 1 : 0;
    printf("storefuzz: %zu inputs, %zu load, %d findings\n", inputs.size(), loaded, g_found);
    return g_found || inputs.empty() ? 1 : 0;
}
