// Start-to-exit time of QELCommonBuild.exe /context=0 against an empty GUI
// program, both started alternately in the same run on the same machine.
// Prints each median and their ratio.
#include "common/Platform.h"

#include "bench/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using bench::BinDir;
using bench::Median;

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 40;
    const std::wstring product = BinDir() + L"\\QELCommonBuild.exe";
    const std::wstring empty = BinDir() + L"\\bench_empty_gui.exe";

    // Warm both up once (first starts load DLLs into the file cache).
    if (bench::TimeRun(product, L"/context=0") < 0 || bench::TimeRun(empty, L"") < 0) {
        std::fprintf(stderr, "cannot start the programs next to this benchmark\n");
        return 1;
    }
    std::vector<double> productTimes;
    std::vector<double> emptyTimes;
    for (int i = 0; i < runs; ++i) {
        productTimes.push_back(bench::TimeRun(product, L"/context=0"));
        emptyTimes.push_back(bench::TimeRun(empty, L""));
    }
    const double productMedian = Median(productTimes);
    const double emptyMedian = Median(emptyTimes);
    std::printf("startup: %d runs each, alternating\n", runs);
    std::printf("  QELCommonBuild.exe /context=0  median %.1f ms\n", productMedian * 1000.0);
    std::printf("  empty GUI program              median %.1f ms\n", emptyMedian * 1000.0);
    std::printf("  ratio (median/median)          %.2f  (target <= 1.30)\n", productMedian / emptyMedian);
    return 0;
}
