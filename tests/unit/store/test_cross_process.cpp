// Several processes of the program's store code save different lists while others
// load them and update Flags: every load sees one whole saved list, no update is lost,
// and every process finishes.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CrossProcess.h"
#include "StoreTestSupport.h"
#include "app/Scoped.h"
#include "common/RegistryFixture.h"
#include "store/Storage.h"

using namespace StoreTest;

namespace {

constexpr int kSavers = 3;
constexpr int kLoaders = 3;
constexpr int kIterations = 150;
constexpr DWORD kCounterStep = 0x100;  // loaders count in the bits above the savers' own bits
// Exit codes of a worker.
constexpr int kExitBadArguments = 1;
constexpr int kExitMixedList = 2;
constexpr int kExitEmptyList = 3;
constexpr int kExitSeenBase = 100;  // a loader that passed: 100 + mask of the lists it saw

// List `k`: its own number of boxes and tuners and its own texts in every field, so
// that any blend of two lists differs from both.
DeviceList MakeList(int k) {
    DeviceList list;
    int boxes = 2 + k % 3;
    for (int b = 0; b < boxes; ++b) {
        char id[kIdChars];
        StringCchPrintfA(id, kIdChars, "%08X", 0x10A00000 + k * 16 + b);
        char ip[kIdChars];
        StringCchPrintfA(ip, kIdChars, "192.0.2.%d", k * 10 + b + 1);
        char name[kNameChars];
        StringCchPrintfA(name, kNameChars, "Zentrova@list%d-box%d", k, b);
        DeviceInfo device = MakeDevice(id, ip, name);
        int tuners = 1 + (k + b) % 3;
        for (int t = 0; t < tuners; ++t) {
            char model[kIdChars];
            StringCchPrintfA(model, kIdChars, "model-%d", k);
            char tunerName[kNameChars];
            StringCchPrintfA(tunerName, kNameChars, "list %d tuner %d.%d", k, b, t);
            device.Tuners.push_back(MakeTuner(id, t, model, tunerName));
        }
        list.push_back(device);
    }
    return list;
}

bool SameTuner(const TunerInfo& a, const TunerInfo& b) {
    return a.Modified == b.Modified && a.Index == b.Index && strcmp(a.Id, b.Id) == 0 &&
           strcmp(a.Model, b.Model) == 0 && strcmp(a.Name, b.Name) == 0 && strcmp(a.Owner, b.Owner) == 0;
}

bool SameDevice(const DeviceInfo& a, const DeviceInfo& b) {
    if (a.Modified != b.Modified || strcmp(a.Id, b.Id) != 0 || strcmp(a.Ip, b.Ip) != 0 ||
        strcmp(a.Name, b.Name) != 0 || a.Tuners.size() != b.Tuners.size())
        return false;
    for (size_t t = 0; t < a.Tuners.size(); ++t)
        if (!SameTuner(a.Tuners[t], b.Tuners[t])) return false;
    return true;
}

bool SameList(const DeviceList& a, const DeviceList& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!SameDevice(a[i], b[i])) return false;
    return true;
}

// Which saved list `loaded` is, or -1.
int WhichList(const DeviceList& loaded, int savers) {
    for (int k = 0; k < savers; ++k)
        if (SameList(loaded, MakeList(k))) return k;
    return -1;
}

void WaitForStart(const char* eventName) {
    CScopedHandle start(OpenEventA(SYNCHRONIZE, FALSE, eventName));
    if (start.IsValid()) WaitForSingleObject(start.Get(), INFINITE);
}

int RunSaver(int k, int iterations) {
    DeviceList list = MakeList(k);
    DWORD ownBit = 1u << k;
    for (int i = 0; i < iterations; ++i) {
        CStorage().SaveDevices(list);
        StorageFlagsUpdate(0, ownBit);
        StorageFlagsUpdate(ownBit, 0);
    }
    StorageFlagsUpdate(0, ownBit);
    return 0;
}

int RunLoader(int savers, int iterations) {
    int seen = 0;
    for (int i = 0; i < iterations; ++i) {
        DeviceList loaded;
        CStorage().LoadDevices(loaded);
        if (loaded.empty()) return kExitEmptyList;
        int k = WhichList(loaded, savers);
        if (k < 0) return kExitMixedList;
        seen |= 1 << k;
        CNamedMutexHold hold(kStoreMutexName);
        StorageFlagsWrite(StorageFlagsRead() + kCounterStep);
    }
    return kExitSeenBase + seen;
}

std::string ExitCodeText(DWORD code) {
    switch (code) {
        case kExitMixedList: return "a load saw a mix of lists";
        case kExitEmptyList: return "a load saw no list";
        case kExitBadArguments: return "bad worker arguments";
        default: return "exit code " + std::to_string(code);
    }
}

struct Worker {
    std::string arguments;
    PROCESS_INFORMATION process = {};
};

bool StartWorker(Worker& worker) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string commandLine = "\"" + std::string(exe) + "\" " + kStoreWorkerSwitch + " " + worker.arguments;
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessA(exe, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &worker.process) != FALSE;
}

}  // namespace

// argv: exe --store-worker save <k> <iterations> <event> | load <savers> <iterations> <event>
int RunStoreWorker(int argc, char** argv) {
    if (argc != 6) return kExitBadArguments;
    std::string kind = argv[2];
    int number = atoi(argv[3]);
    int iterations = atoi(argv[4]);
    WaitForStart(argv[5]);
    if (kind == "save") return RunSaver(number, iterations);
    if (kind == "load") return RunLoader(number, iterations);
    return kExitBadArguments;
}

class StoreAcrossProcesses : public StoreFixture {};

TEST_F(StoreAcrossProcesses, ListsLoadWholeAndFlagsUpdatesAreNeverLost) {
    for (int k = 0; k < kSavers; ++k) {
        DeviceList list = MakeList(k);
        ASSERT_EQ(k, WhichList(list, kSavers));
    }
    CStorage().SaveDevices(MakeList(0));
    StorageFlagsWrite(0);

    char eventName[64];
    StringCchPrintfA(eventName, 64, "TavrixStoreTestStart-%lu", GetCurrentProcessId());
    CScopedHandle start(CreateEventA(nullptr, TRUE, FALSE, eventName));
    ASSERT_TRUE(start.IsValid());

    std::vector<Worker> workers;
    for (int k = 0; k < kSavers; ++k)
        workers.push_back({"save " + std::to_string(k) + " " + std::to_string(kIterations) + " " + eventName});
    for (int l = 0; l < kLoaders; ++l)
        workers.push_back(
            {"load " + std::to_string(kSavers) + " " + std::to_string(kIterations) + " " + eventName});
    std::vector<HANDLE> processes;
    for (Worker& worker : workers) {
        ASSERT_TRUE(StartWorker(worker)) << worker.arguments;
        CloseHandle(worker.process.hThread);
        processes.push_back(worker.process.hProcess);
    }
    SetEvent(start.Get());

    // A guard against a deadlock only; the work itself is bounded by its iterations.
    DWORD wait = WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), TRUE, 600000);
    if (wait == WAIT_TIMEOUT)
        for (HANDLE process : processes) TerminateProcess(process, 99);
    ASSERT_NE(static_cast<DWORD>(WAIT_TIMEOUT), wait) << "workers did not finish: deadlock";

    int seen = 0;
    for (size_t i = 0; i < workers.size(); ++i) {
        DWORD code = 0;
        GetExitCodeProcess(processes[i], &code);
        CloseHandle(processes[i]);
        bool loader = workers[i].arguments.rfind("load", 0) == 0;
        if (loader) {
            bool passed = code >= static_cast<DWORD>(kExitSeenBase) &&
                          code < static_cast<DWORD>(kExitSeenBase + (1 << kSavers));
            EXPECT_TRUE(passed) << workers[i].arguments << ": " << ExitCodeText(code);
            if (passed) seen |= static_cast<int>(code) - kExitSeenBase;
        } else {
            EXPECT_EQ(0u, code) << workers[i].arguments << ": " << ExitCodeText(code);
        }
    }
    // The loads ran while the lists changed: more than one list was seen.
    EXPECT_NE(0, seen & (seen - 1)) << "lists seen: mask " << seen;

    DWORD flags = StorageFlagsRead();
    EXPECT_EQ(static_cast<DWORD>((1 << kSavers) - 1), flags & 0xFF);
    EXPECT_EQ(static_cast<DWORD>(kLoaders * kIterations), flags / kCounterStep);

    DeviceList last;
    CStorage().LoadDevices(last);
    EXPECT_GE(WhichList(last, kSavers), 0);
}
