// Start-to-exit time of QELCommonBuild.exe /context=0 against an empty GUI
// program, both started alternately in the same run on the same machine.
// Prints each median and their ratio.
#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One start of the program, waited for; negative when it could not start.
double TimeOneRun(const std::wstring& exe, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    LARGE_INTEGER begin;
    LARGE_INTEGER end;
    ::QueryPerformanceCounter(&begin);
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        return -1.0;
    }
    ScopedHandle processHandle(process.hProcess);
    ScopedHandle threadHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::QueryPerformanceCounter(&end);
    return Seconds(begin, end);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 40;
    const std::wstring product = BinDir() + L"\\QELCommonBuild.exe";
    const std::wstring empty = BinDir() + L"\\bench_empty_gui.exe";

    // Warm both up once (first starts load DLLs into the file cache).
    if (TimeOneRun(product, L"/context=0") < 0 || TimeOneRun(empty, L"") < 0) {
        std::fprintf(stderr, "cannot start the programs next to this benchmark\n");
        return 1;
    }
    std::vector<double> productTimes;
    std::vector<double> emptyTimes;
    for (int i = 0; i < runs; ++i) {
        productTimes.push_back(TimeOneRun(product, L"/context=0"));
        emptyTimes.push_back(TimeOneRun(empty, L""));
    }
    const double productMedian = Median(productTimes);
    const double emptyMedian = Median(emptyTimes);
    std::printf("startup: %d runs each, alternating\n", runs);
    std::printf("  QELCommonBuild.exe /context=0  median %.1f ms\n", productMedian * 1000.0);
    std::printf("  empty GUI program              median %.1f ms\n", emptyMedian * 1000.0);
    std::printf("  ratio (median/median)          %.2f  (target <= 1.30)\n", productMedian / emptyMedian);
    return 0;
}
