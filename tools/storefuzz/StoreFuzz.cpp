// storefuzz: a mutation fuzzer for the data store reader, run in-process
// through the document (and, for one input in sixteen, through the whole file
// path: cipher, unreadable copies, save). Every input must either load and
// be written back as a text that loads to the same content (the same text
// again), or be refused with 87 (1392 or 1359 through the file); a crash or a
// hang is a finding too. Findings are kept as files; scripts/fuzz runs it.
//   storefuzz SECONDS CORPUS_FOLDER FINDINGS_FOLDER
//   storefuzz --replay FILE...     the checks on these inputs (UTF-8 or, with a BOM, UTF-16LE)
#include "common/Platform.h"

#include "bench/StoreSupport.h"
#include "datastore/QelJsonFormat.h"
#include "logging/LoggingIf.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// The store's log lines are not wanted here: thousands of refusals a second.
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

std::wstring g_findings;
const std::wstring* g_current = nullptr;  // the input being run, for a crash or hang report
std::atomic<unsigned long long> g_execs{0};
int g_found = 0;

void Keep(const wchar_t* kind, const std::wstring& input, const std::string& why)
{
    ++g_found;
    const std::wstring path = g_findings + L"\\" + kind + L"-" + std::to_wstring(::GetTickCount64()) + L".txt";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const WCHAR bom = 0xFEFF;
    ::WriteFile(file, &bom, sizeof(bom), &written, nullptr);
    ::WriteFile(file, input.data(), static_cast<DWORD>(input.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(file);
    printf("FINDING %ls: %s (kept as %ls)\n", kind, why.c_str(), path.c_str());
    fflush(stdout);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception)
{
    if (g_current) Keep(L"crash", *g_current, "exception " + std::to_string(exception->ExceptionRecord->ExceptionCode));
    ::TerminateProcess(::GetCurrentProcess(), 2);
    return EXCEPTION_CONTINUE_SEARCH;
}

class Checks {
public:
    explicit Checks(const std::wstring& storeFile) : m_storeFile(storeFile) {}

    // Returns whether the input loaded. change: 0 for the document alone; else
    // through the file, its ciphertext cut (below 9) or grown (above 9) by up to 8 bytes.
    bool Run(const std::wstring& text, int change = 0)
    {
        g_current = &text;
        const bool loaded = change ? File(text, change - 9) : Document(text);
        ++g_execs;
        return loaded;
    }

private:
    bool Document(const std::wstring& text)
    {
        const DWORD rc = m_document.parseJson(text);
        std::wstring first, second;
        const DWORD rendered = rc == ERROR_SUCCESS ? m_document.getJson(first) : rc;
        m_document.ClearData();
        if (rc != ERROR_SUCCESS) {
            if (rc != ERROR_INVALID_PARAMETER) Keep(L"code", text, "refused with " + std::to_string(rc));
            return false;
        }
        if (rendered != ERROR_SUCCESS) Keep(L"render", text, "loaded but not written: " + std::to_string(rendered));
        const DWORD again = m_again.parseJson(first);
        if (again == ERROR_SUCCESS) m_again.getJson(second);
        m_again.ClearData();
        if (again != ERROR_SUCCESS || second != first) Keep(L"roundtrip", text, "the written text loads to other content");
        return true;
    }

    // The text enciphered (its bytes cut or grown at random), through a load and a save.
    bool File(const std::wstring& text, int change)
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
        if (!fine) Keep(L"file", text, "through the file: load " + std::to_string(rc) + (copied ? ", copied" : ", not copied"));
        return rc == ERROR_SUCCESS;
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

// Code units that matter to the reader.
const wchar_t* const kTokens[] = {
    L"{", L"}", L"[", L"]", L"\"", L"\\", L":", L",", L"0", L"-", L"e", L".", L"true", L"null", L"1e400", L"\\u",
    L"\\ud800", L"\\u0000", L"\xD800", L"\xFFFF", L"\xFEFF", L"\n", L" ", L"{}", L"[]", L"\"a\":", L"\"Entitlement\":",
    L"\"Packages\":", L"\"ScheduleTask\":", L"\"oobe\":", L"\"eula\":", L"[{\"Name\":\"x\"}]", L"{\"k\":1}",
};

std::wstring Mutate(std::wstring text, const std::vector<std::wstring>& pool, std::mt19937_64& random)
{
    const auto pick = [&](size_t n) { return n ? static_cast<size_t>(random() % n) : 0; };
    for (int rounds = 1 + static_cast<int>(random() % 6); rounds > 0; --rounds) {
        const size_t at = pick(text.size() + 1);
        switch (random() % 8) {
            case 0: if (at < text.size()) text[at] = static_cast<wchar_t>(text[at] ^ (1u << (random() % 16))); break;
            case 1: text.insert(at, kTokens[pick(std::size(kTokens))]); break;
            case 2: if (at < text.size()) text[at] = kTokens[pick(std::size(kTokens))][0]; break;
            case 3: text.erase(at, pick(16)); break;
            case 4: text.insert(at, text.substr(pick(text.size()), pick(64))); break;
            case 5: text.resize(at); break;
            case 6: {
                const std::wstring& other = pool[pick(pool.size())];
                text.insert(at, other.substr(pick(other.size()), pick(200)));
                break;
            }
            default: text.insert(at, std::wstring(1 + pick(64), L"[{\"a"[pick(4)])); break;
        }
    }
    return text.size() > 65536 ? text.substr(0, 65536) : text;
}

std::wstring ReadInput(const std::wstring& path)
{
    std::vector<char> bytes;
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (file && ::GetFileSizeEx(file.Get(), &size)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    std::wstring text(bytes.size(), L'\0');
    text.resize(::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                      static_cast<int>(text.size())));
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    static Silent silent;
    ETWLogging::UseLogBuilder(&silent);
    ::SetUnhandledExceptionFilter(OnCrash);
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
    std::wstring storeFile;
    if (argc < 3 || !bench::Provision(storeFile)) {
        fprintf(stderr, "usage: storefuzz SECONDS CORPUS FINDINGS | storefuzz --replay FILE...\n");
        return 1;
    }
    Checks checks(storeFile);
    g_findings = ::GetFileAttributesW(argv[argc - 1]) & FILE_ATTRIBUTE_DIRECTORY ? argv[argc - 1] : L".";
    if (std::wstring(argv[1]) == L"--replay") {
        for (int i = 2; i < argc; ++i) {
            const std::wstring input = ReadInput(argv[i]);
            printf("%ls: %s\n", argv[i], checks.Run(input) ? "loads" : "refused");
            for (int change = 1; change <= 17; ++change) checks.Run(input, change);
        }
        return g_found ? 1 : 0;
    }

    const DWORD seconds = static_cast<DWORD>(_wtoi(argv[1]));
    g_findings = argv[3];
    ::CreateDirectoryW(g_findings.c_str(), nullptr);
    std::vector<std::wstring> pool;
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((std::wstring(argv[2]) + L"\\*.json").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
        pool.push_back(ReadInput(std::wstring(argv[2]) + L"\\" + found.cFileName));
    }
    if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
    if (pool.empty()) {
        fprintf(stderr, "storefuzz: no seeds (*.json) in %ls\n", argv[2]);
        return 1;
    }
    for (const auto& seed : pool) checks.Run(seed);
    printf("storefuzz: %zu seeds, %lu s\n", pool.size(), seconds);

    // A run that makes no progress for 20 s is a hang.
    std::thread([] {
        for (unsigned long long last = ~0ull;; ::Sleep(20000)) {
            if (g_execs == last && g_current) {
                Keep(L"hang", *g_current, "no progress for 20 s");
                ::TerminateProcess(::GetCurrentProcess(), 3);
            }
            last = g_execs;
        }
    }).detach();

    std::mt19937_64 random(::GetTickCount64());
    const ULONGLONG begin = ::GetTickCount64(), end = begin + seconds * 1000ull;
    unsigned long long loaded = 0;
    for (ULONGLONG next = begin + 30000, now = begin; now < end; now = ::GetTickCount64()) {
        for (int i = 0; i < 256; ++i) {
            const std::wstring input = Mutate(pool[random() % pool.size()], pool, random);
            // One in sixteen through the file, half of those with a ciphertext cut or grown.
            const int change = random() % 16 ? 0 : random() % 2 ? 9 : 1 + static_cast<int>(random() % 17);
            if (checks.Run(input, change)) {
                ++loaded;
                if (pool.size() < 4096) pool.push_back(input);
                else pool[random() % pool.size()] = input;
            }
        }
        if (now >= next || now + 1 >= end) {
            next += 30000;
            printf("storefuzz: %llu execs, %.0f exec/s, %llu loaded, %d findings\n", g_execs.load(),
                   g_execs * 1000.0 / static_cast<double>(now - begin + 1), loaded, g_found);
            fflush(stdout);
        }
    }
    const double elapsed = static_cast<double>(::GetTickCount64() - begin) / 1000.0;
    printf("storefuzz: done: %llu execs in %.0f s, %.0f exec/s, %llu loaded, %d findings\n", g_execs.load(), elapsed,
           g_execs / elapsed, loaded, g_found);
    return g_found ? 1 : 0;
}
