// In-process server for the pass benchmark. Its registration does nothing,
// unless PENDREG_BENCH_PEAK names a file: it then appends the image of the
// process that registers it and that process's peak working set in bytes.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
    char logPath[MAX_PATH * 4];
    if (GetEnvironmentVariableA("PENDREG_BENCH_PEAK", logPath, sizeof(logPath)) == 0) {
        return S_OK;
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    char image[MAX_PATH * 4];
    GetModuleFileNameA(nullptr, image, sizeof(image));
    FILE* log = fopen(logPath, "a");
    if (log != nullptr) {
        fprintf(log, "%s\t%llu\n", image,
                static_cast<unsigned long long>(counters.PeakWorkingSetSize));
        fclose(log);
    }
    return S_OK;
}
