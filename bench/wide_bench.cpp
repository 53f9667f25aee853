// The wide listing against the ANSI one, in the 64-bit module under Wine:
// GetArchiveInfoW and GetArchiveInfo of the same 100,000-entry archive, taken
// in turn, the median of each and their ratio.
//   wide_bench [ENTRIES] [ROUNDS]
#include "platform/platform.h"
#include "plugin/spi.h"

#include "tests/archive_builder.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

static double Seconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

static double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int main(int argc, char **argv) {
    int entries = argc > 1 ? atoi(argv[1]) : 100000;
    int rounds = argc > 2 ? atoi(argv[2]) : 11;
    HMODULE module = LoadLibraryA("axquorvel.sph");
    auto ansi = (decltype(&GetArchiveInfo))(void *)GetProcAddress(module, "GetArchiveInfo");
    auto wide = (decltype(&GetArchiveInfoW))(void *)GetProcAddress(module, "GetArchiveInfoW");
    if (ansi == nullptr || wide == nullptr) {
        printf("wide_bench: cannot load axquorvel.sph\n");
        return 1;
    }
    // Names like the other benchmarks': data/png/group042/item0042123.ogg.
    std::vector<TestEntry> all;
    for (int i = 0; i < entries; i++) {
        char name[64];
        snprintf(name, sizeof name, "data/png/group%03d/item%07d.ogg", i / 1000, i);
        all.push_back({name, std::string((size_t)(i % 3), 'x')});
    }
    WriteFile("wide_bench.dat", BuildArchive(all));
    std::vector<double> ansiTimes, wideTimes;
    for (int round = 0; round <= rounds; round++) { // round 0 warms up, untimed
        for (int kind = 0; kind < 2; kind++) {
            HLOCAL block = nullptr;
            double start = Seconds();
            int32_t result = kind == 0 ? ansi("wide_bench.dat", 0, 0, &block)
                                       : wide(L"wide_bench.dat", 0, 0, &block);
            double took = Seconds() - start;
            LocalFree(block);
            if (result != 0) {
                printf("wide_bench: listing failed with %d\n", result);
                return 1;
            }
            if (round > 0)
                (kind == 0 ? ansiTimes : wideTimes).push_back(took * 1000);
        }
    }
    DeleteFileA("wide_bench.dat");
    double a = Median(ansiTimes), w = Median(wideTimes);
    printf("| list, wide (64-bit module, Wine) | %d | %.1f | GetArchiveInfo | %.1f | %.2f |\n",
           entries, w, a, w / a);
    return 0;
}
