// The cost of one data store cycle through the facade, against the floor that
// any whole-file design pays for the same bytes, measured side by side in one
// run: read the file, decipher, parse with RapidJSON, write with RapidJSON,
// encipher, write the file, with no model in between.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "config/QELConfig.h"
#include "datastore/QelPersistenceData.h"

#include <psapi.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Utf16 = rapidjson::UTF16<wchar_t>;

std::vector<BYTE> KeyBlob()
{
    std::vector<BYTE> blob(140, 0);
    BLOBHEADER header{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_AES_256};
    const DWORD keySize = 32;
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + 8, &keySize, 4);
    for (int i = 0; i < 32; ++i) blob[12 + i] = static_cast<BYTE>(i * 11 + 5);
    return blob;
}

bool Provision(std::wstring& file)
{
    wchar_t programData[MAX_PATH];
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, programData))) return false;
    const std::wstring folder = std::wstring(programData) + L"\\Tarsen\\QEL";
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ScopedRegKey core;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, qelkeys::kCore, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, core.Put(),
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::vector<BYTE> blob = KeyBlob();
    ::RegSetValueExW(core.Get(), L"DataStore", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    ::RegSetValueExW(core.Get(), L"DBPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    file = folder + L"\\qeldata.dat";
    return true;
}

// A store as the framework fills it: OOBE and EULA state, scheduler tasks,
// packages, and many status keys of the framework's programs; scaled until
// the document text reaches the wanted size.
std::wstring BuildDocument(size_t targetBytes)
{
    CQelJsonFormat document;
    document.SetOobeState(1);
    document.SetOobeParameter(L"InitializeDbTime", L"1764950400");
    document.SetOobeParameter(L"completedtime", L"1764954000");
    document.SetEulaState(1);
    std::wstring text;
    for (int i = 0;; ++i) {
        if (i % 8 == 0) {
            const std::wstring name = L"Task" + std::to_wstring(i);
            document.AddScheduleTask(name, {{L"Name", name},
                                            {L"Description", L"Periodic job of the framework, number " + std::to_wstring(i)},
                                            {L"Param", L"/context=" + std::to_wstring(i % 7)},
                                            {L"Path", L"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe"},
                                            {L"Type", L"0"},
                                            {L"IntervalInSec", L"14400"},
                                            {L"RebootWaitCount", L"0"},
                                            {L"Settings", L"3"},
                                            {L"LaunchMode", L"1"},
                                            {L"EnvWaitIntervalInSec", L"1200"}});
        }
        if (i % 8 == 4) {
            const std::wstring id = L"{" + std::to_wstring(100000 + i) + L"-PKG-" + std::to_wstring(i * 37) + L"}";
            document.SetPkgParameter(id, L"AutoDownLoadFlag", i % 16 == 4 ? L"1" : L"0");
            document.SetPkgParameter(id, L"Version", L"12.4." + std::to_wstring(i));
            document.SetPkgParameter(id, L"Url", L"https://download.example.invalid/packages/" + id + L".cab");
        }
        document.SetEntParameter(L"app" + std::to_wstring(i % 97) + L".status" + std::to_wstring(i),
                                 L"1764950" + std::to_wstring(100 + i % 900));
        if (i % std::max(4, i / 32) == 0) {
            document.getJson(text);
            if (text.size() * sizeof(wchar_t) >= targetBytes) break;
        }
    }
    document.SetEntParameter(L"bench", L"0000");
    document.getJson(text);
    return text;
}

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The floor: the same file's bytes through the same steps, without a model.
// Like the facade's document, it keeps its file and text buffers from cycle to
// cycle, so that the ratio measures the model and not who reuses memory (on
// Wine a freshly touched page costs far more than the work done in it).
class Floor {
public:
    Floor()
    {
        ::CryptAcquireContextW(m_provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
        const std::vector<BYTE> blob = KeyBlob();
        ::CryptImportKey(m_provider.Get(), blob.data(), 140, 0, 0, m_key.Put());
    }

    bool Cycle(const std::wstring& path)
    {
        {
            ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            LARGE_INTEGER size{};
            if (!file || !::GetFileSizeEx(file.Get(), &size)) return false;
            m_data.resize(static_cast<size_t>(size.QuadPart));
            DWORD read = 0;
            if (!::ReadFile(file.Get(), m_data.data(), static_cast<DWORD>(m_data.size()), &read, nullptr)) return false;
        }
        DWORD length = static_cast<DWORD>(m_data.size());
        if (!::CryptDecrypt(m_key.Get(), 0, TRUE, 0, m_data.data(), &length)) return false;

        m_data.resize(length);
        m_data.resize(length + sizeof(wchar_t));  // a terminating NUL for the parser
        rapidjson::GenericDocument<Utf16> document;
        document.Parse(reinterpret_cast<const wchar_t*>(m_data.data()));
        if (document.HasParseError()) return false;
        m_text.Clear();
        rapidjson::Writer<rapidjson::GenericStringBuffer<Utf16>, Utf16, Utf16> writer(m_text);
        document.Accept(writer);

        const DWORD plainBytes = static_cast<DWORD>(m_text.GetSize());
        m_out.resize(plainBytes + 32);
        std::memcpy(m_out.data(), m_text.GetString(), plainBytes);
        DWORD outLength = plainBytes;
        if (!::CryptEncrypt(m_key.Get(), 0, TRUE, 0, m_out.data(), &outLength, static_cast<DWORD>(m_out.size()))) {
            return false;
        }
        ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        return file && ::WriteFile(file.Get(), m_out.data(), outLength, &written, nullptr);
    }

private:
    ScopedCryptProv m_provider;
    ScopedCryptKey m_key;
    std::vector<BYTE> m_data;
    rapidjson::GenericStringBuffer<Utf16> m_text;
    std::vector<BYTE> m_out;
};

struct Result {
    double kib = 0, floorMs = 0, getMs = 0, setMs = 0;
};

size_t PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)) ? counters.PeakWorkingSetSize : 0;
}

}  // namespace

int wmain()
{
    std::wstring path;
    if (!Provision(path)) {
        fprintf(stderr, "cannot provision the registry\n");
        return 1;
    }
    struct Size {
        const char* name;
        size_t bytes;
        int rounds;
    } sizes[] = {{"4 KiB", 4096, 200}, {"64 KiB", 65536, 60}, {"1 MiB", 1048576, 12}};

    printf("Data store cycle through the facade vs. the floor (read + decrypt + RapidJSON parse + RapidJSON write\n"
           "+ encrypt + write of the same bytes, no model, file and text buffers kept between cycles);\n"
           "medians of interleaved runs in one process.\n\n");
    printf("%-8s %10s %10s %10s %8s %10s %8s\n", "document", "file KiB", "floor ms", "get ms", "get/fl", "set ms",
           "set/fl");
    std::vector<Result> results;
    size_t peakBeforeLargest = 0;
    for (const Size& size : sizes) {
        if (size.bytes == 1048576) peakBeforeLargest = PeakWorkingSet();
        ::DeleteFileW(path.c_str());
        CQelPersistenceData store;
        {
            CQelJsonFormat writer;
            writer.parseJson(BuildDocument(size.bytes));
            if (writer.SaveData() != ERROR_SUCCESS) {
                fprintf(stderr, "cannot write the %s document\n", size.name);
                return 1;
            }
        }
        Floor floor;
        std::vector<double> floorMs, getMs, setMs;
        std::wstring value;
        for (int round = -2; round < size.rounds; ++round) {  // two warm-up rounds
            double start = NowMs();
            if (!floor.Cycle(path)) {
                fprintf(stderr, "floor cycle failed\n");
                return 1;
            }
            const double f = NowMs() - start;
            start = NowMs();
            if (store.GetEntParameter(L"bench", value) != ERROR_SUCCESS) {
                fprintf(stderr, "GetEntParameter failed\n");
                return 1;
            }
            const double g = NowMs() - start;
            start = NowMs();
            // Same length every time, so the document keeps its size.
            if (store.SetEntParameter(L"bench", round % 2 ? L"1111" : L"2222") != ERROR_SUCCESS) {
                fprintf(stderr, "SetEntParameter failed\n");
                return 1;
            }
            const double s = NowMs() - start;
            if (round >= 0) {
                floorMs.push_back(f);
                getMs.push_back(g);
                setMs.push_back(s);
            }
        }
        WIN32_FILE_ATTRIBUTE_DATA info{};
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info);
        Result r;
        r.kib = info.nFileSizeLow / 1024.0;
        r.floorMs = Median(floorMs);
        r.getMs = Median(getMs);
        r.setMs = Median(setMs);
        results.push_back(r);
        printf("%-8s %10.1f %10.3f %10.3f %8.2f %10.3f %8.2f\n", size.name, r.kib, r.floorMs, r.getMs,
               r.getMs / r.floorMs, r.setMs, r.setMs / r.floorMs);
        fflush(stdout);
    }

    const Result& mid = results[1];
    const Result& large = results[2];
    const double kib = large.kib - mid.kib;
    printf("\nslope 64 KiB -> 1 MiB: floor %.4f ms/KiB, get %.4f ms/KiB, set %.4f ms/KiB\n",
           (large.floorMs - mid.floorMs) / kib, (large.getMs - mid.getMs) / kib, (large.setMs - mid.setMs) / kib);
    printf("1 MiB cycle / 64 KiB cycle: get %.1fx, set %.1fx, floor %.1fx (file %.1fx)\n", large.getMs / mid.getMs,
           large.setMs / mid.setMs, large.floorMs / mid.floorMs, large.kib / mid.kib);
    const bool ratioMet = mid.setMs <= 1.5 * mid.floorMs && large.setMs <= 1.5 * large.floorMs;
    const bool linearMet = large.setMs <= 20 * mid.setMs && large.getMs <= 20 * mid.getMs;
    printf("target saving cycle <= 1.5x floor at 64 KiB and 1 MiB: %s\n", ratioMet ? "met" : "NOT met");
    printf("target 1 MiB cycle <= 20x the 64 KiB cycle: %s\n", linearMet ? "met" : "NOT met");
    const size_t peak = PeakWorkingSet();
    printf("peak working set: %.1f MiB after the 1 MiB case (%.1f MiB before it)\n", peak / 1048576.0,
           peakBeforeLargest / 1048576.0);
    return 0;
}
