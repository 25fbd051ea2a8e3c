// Runs one program under the meter and reports what Windows says about it: wall time from
// CreateProcess to the end, the peak working set and peak private bytes, CPU times, exit code.
//
//   pe_meter.exe [--poll MS] PROGRAM [ARGUMENTS...]
//
// Prints one JSON line on stdout. Wine answers GetProcessMemoryInfo for another process only
// while that process lives (it reads the Unix process's counters), so the meter polls every
// MS milliseconds (default 2) and keeps the largest peaks; the peak working set is a
// high-water mark itself, so at most the growth of the last interval is missed.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Peaks {
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPagefile = 0;
    SIZE_T privateUsage = 0;
    unsigned samples = 0;
};

void Sample(HANDLE process, Peaks& peaks) {
    PROCESS_MEMORY_COUNTERS_EX counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return;
    if (counters.PeakWorkingSetSize == 0) return;  // the process is gone; Wine reports zeros then
    ++peaks.samples;
    if (counters.PeakWorkingSetSize > peaks.peakWorkingSet) peaks.peakWorkingSet = counters.PeakWorkingSetSize;
    if (counters.PeakPagefileUsage > peaks.peakPagefile) peaks.peakPagefile = counters.PeakPagefileUsage;
    if (counters.PrivateUsage > peaks.privateUsage) peaks.privateUsage = counters.PrivateUsage;
}

double Milliseconds(FILETIME time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

// Quotes one argument the way CommandLineToArgvW splits it again.
void AppendArgument(std::string& line, const char* argument) {
    if (!line.empty()) line += ' ';
    if (*argument != '\0' && strpbrk(argument, " \t\"") == nullptr) {
        line += argument;
        return;
    }
    line += '"';
    for (const char* c = argument; *c != '\0'; ++c) {
        if (*c == '"') line += '\\';
        line += *c;
    }
    line += '"';
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    DWORD pollMs = 2;
    if (argc > 2 && strcmp(argv[1], "--poll") == 0) {
        pollMs = static_cast<DWORD>(atoi(argv[2]));
        first = 3;
    }
    if (first >= argc) {
        fprintf(stderr, "usage: pe_meter.exe [--poll MS] PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    std::string commandLine;
    for (int i = first; i < argc; ++i) AppendArgument(commandLine, argv[i]);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 3;
    }
    Peaks peaks;
    while (WaitForSingleObject(child.hProcess, pollMs) == WAIT_TIMEOUT) Sample(child.hProcess, peaks);
    QueryPerformanceCounter(&end);
    Sample(child.hProcess, peaks);

    DWORD exitCode = 0;
    GetExitCodeProcess(child.hProcess, &exitCode);
    FILETIME created, exited, kernel, user;
    double kernelMs = -1, userMs = -1;
    if (GetProcessTimes(child.hProcess, &created, &exited, &kernel, &user)) {
        kernelMs = Milliseconds(kernel);
        userMs = Milliseconds(user);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    double wallMs = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    printf("{\"exit_code\": %lu, \"wall_ms\": %.3f, \"peak_working_set\": %llu, \"peak_pagefile\": %llu, "
           "\"private_usage\": %llu, \"samples\": %u, \"user_ms\": %.3f, \"kernel_ms\": %.3f}\n",
           exitCode, wallMs, static_cast<unsigned long long>(peaks.peakWorkingSet),
           static_cast<unsigned long long>(peaks.peakPagefile), static_cast<unsigned long long>(peaks.privateUsage),
           peaks.samples, userMs, kernelMs);
    fflush(stdout);
    return 0;
}
