// Copies of the program saving the list and updating Flags at the same time: every load
// sees one whole saved list and no update of Flags is lost.
#include <gtest/gtest.h>

#include "UnitSupport.h"
#include "app/Scoped.h"

namespace {

constexpr int kWorkers = 4;
const char kStartEvent[] = "TavrixStoreWorkersStart";

// Worker k saves k + 1 boxes of k + 1 tuners, all named after it.
DeviceList WorkerList(int k) {
    DeviceList list;
    const std::string name = "worker " + std::to_string(k);
    for (int b = 0; b <= k; ++b) {
        std::string id = std::to_string(10000000 + k * 10 + b);
        TunerList tuners;
        for (int t = 0; t <= k; ++t) tuners.push_back(Tuner(id, t, "ofdm", name.c_str()));
        list.push_back(Box(id, name, tuners));
    }
    return list;
}

// True when `list` is one worker's list as a whole: no box or tuner of another, none missing.
bool IsAWorkersList(const DeviceList& list) {
    const std::string name = "worker " + std::to_string(list.size() - 1);
    for (const DeviceInfo& box : list) {
        if (box.Name != name || box.Tuners.size() != list.size()) return false;
        for (const TunerInfo& tuner : box.Tuners)
            if (tuner.Name != name) return false;
    }
    return !list.empty();
}

}  // namespace

int RunStoreWorker(int worker) {
    CScopedHandle start(OpenEventA(SYNCHRONIZE, FALSE, kStartEvent));
    WaitForSingleObject(start.Get(), 60000);
    for (int round = 0; round < 25; ++round) {
        StorageFlagsUpdate(0x100 << worker, 0);  // above the program's own bits
        CStorage().SaveDevices(WorkerList(worker));
        StorageFlagsUpdate(0, 0x100 << worker);
        DeviceList loaded;
        CStorage().LoadDevices(loaded);
        if (!IsAWorkersList(loaded)) return 2;
    }
    return 0;
}

TEST(StoreAcrossProcesses, EverySaveIsWholeAndNoFlagsUpdateIsLost) {
    CScopedHandle start(CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    StorageFlagsWrite(0);
    PROCESS_INFORMATION workers[kWorkers] = {};
    for (int k = 0; k < kWorkers; ++k) {
        std::string command = "\"" + std::string(self) + "\" --store-worker " + std::to_string(k);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &workers[k]));
    }
    SetEvent(start.Get());
    for (PROCESS_INFORMATION& worker : workers) {
        DWORD code = 99;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.hProcess, 120000));
        EXPECT_TRUE(GetExitCodeProcess(worker.hProcess, &code) && code == 0) << "a worker loaded a mixed list";
        CloseHandle(worker.hProcess);
        CloseHandle(worker.hThread);
    }
    DeviceList stored;
    CStorage().LoadDevices(stored);
    EXPECT_TRUE(IsAWorkersList(stored)) << stored.size() << " boxes";
    EXPECT_EQ(0xF00u, ReadFlags());
    CStorage().SaveDevices(DeviceList());
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kProductKey, "Flags");
}
