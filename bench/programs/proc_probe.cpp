// Watches another process of the same prefix: one JSON sample per line read on stdin.
//
//   proc_probe.exe EXE_NAME
//
// Finds the first process whose image name is EXE_NAME (case-insensitive), then answers each
// input line with its private bytes, working set, handle count and CPU times, plus the wall
// clock as Unix seconds so that samples can be lined up with other logs. "quit" or the end
// of input ends it. A process that cannot be found or opened ends it with exit code 1.
//
// Under Wine, GetProcessHandleCount answers 0 for another process, so the handles are
// counted in the system handle table (NtQuerySystemInformation, SystemHandleInformation),
// per object type as well, which tells what leaks if anything does.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// The classic layout of SystemHandleInformation (class 16), which Wine fills.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using QuerySystemInformation = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// Handles of `pid`, by object type; -1 when the table cannot be read.
long CountHandles(DWORD pid, std::map<int, long>& byType) {
    static QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    static std::vector<BYTE> buffer(1 << 16);
    ULONG length = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length)) ==
           kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return -1;
    const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
    long count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].ownerPid != pid) continue;
        ++count;
        ++byType[table->entries[i].objectType];
    }
    return count;
}

DWORD FindProcess(const char* exeName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    DWORD found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && found == 0; more = Process32Next(snapshot, &entry))
        if (_stricmp(entry.szExeFile, exeName) == 0) found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

double Milliseconds(FILETIME time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

double UnixSeconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    return static_cast<double>(value.QuadPart - 116444736000000000ULL) / 1e7;
}

void PrintSample(HANDLE process, DWORD pid) {
    PROCESS_MEMORY_COUNTERS_EX counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    std::map<int, long> byType;
    long handles = CountHandles(pid, byType);
    std::string types;
    for (const auto& entry : byType) {
        char item[32];
        snprintf(item, sizeof(item), "%s\"%d\": %ld", types.empty() ? "" : ", ", entry.first, entry.second);
        types += item;
    }
    FILETIME created, exited, kernel, user;
    double kernelMs = -1, userMs = -1;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        kernelMs = Milliseconds(kernel);
        userMs = Milliseconds(user);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process, &exitCode);
    printf("{\"time\": %.3f, \"pid\": %lu, \"alive\": %s, \"private_usage\": %llu, \"pagefile\": %llu, "
           "\"working_set\": %llu, \"peak_working_set\": %llu, \"handles\": %ld, \"user_ms\": %.3f, "
           "\"kernel_ms\": %.3f, \"handle_types\": {%s}}\n",
           UnixSeconds(), pid, exitCode == STILL_ACTIVE ? "true" : "false",
           static_cast<unsigned long long>(counters.PrivateUsage),
           static_cast<unsigned long long>(counters.PagefileUsage),
           static_cast<unsigned long long>(counters.WorkingSetSize),
           static_cast<unsigned long long>(counters.PeakWorkingSetSize), handles, userMs, kernelMs, types.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: proc_probe.exe EXE_NAME\n");
        return 2;
    }
    DWORD pid = FindProcess(argv[1]);
    if (pid == 0) {
        fprintf(stderr, "no process %s\n", argv[1]);
        return 1;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        fprintf(stderr, "OpenProcess(%lu) failed: %lu\n", pid, GetLastError());
        return 1;
    }
    char line[64];
    while (fgets(line, sizeof(line), stdin) != nullptr && strncmp(line, "quit", 4) != 0) PrintSample(process, pid);
    CloseHandle(process);
    return 0;
}
