// Copies of the program saving the list and updating Flags at the same time: every load
// sees one whole saved list and no update of Flags is lost.
#include <gtest/gtest.h>

#include "UnitSupport.h"
#include "app/Scoped.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kRounds = 25;
constexpr DWORD kFirstWorkerBit = 0x100;  // above the program's own bits
const char kStartEvent[] = "TavrixStoreWorkersStart";

// Worker k's list: its own number of boxes and tuners and its own texts.
DeviceList WorkerList(int k) {
    DeviceList list;
    for (int b = 0; b <= k % 2; ++b) {
        std::string id = std::to_string(10000000 + k * 10 + b);
        TunerList tuners;
        for (int t = 0; t <= (k + b) % 3; ++t) tuners.push_back(Tuner(id, t, ("model-" + id).c_str()));
        list.push_back(Box(id, ("worker " + std::to_string(k)).c_str(), tuners));
    }
    return list;
}

std::string Text(const DeviceList& list) {
    std::string text;
    for (const DeviceInfo& box : list) {
        text += std::string(box.Id) + "|" + box.Ip + "|" + box.Name + ";";
        for (const TunerInfo& tuner : box.Tuners)
            text += std::to_string(tuner.Index) + "|" + tuner.Id + "|" + tuner.Model + "|" + tuner.Name + ";";
    }
    return text;
}

bool IsAWorkersList(const DeviceList& loaded) {
    for (int k = 0; k < kWorkers; ++k)
        if (Text(loaded) == Text(WorkerList(k))) return true;
    return false;
}

}  // namespace

int RunStoreWorker(int worker) {
    CScopedHandle start(OpenEventA(SYNCHRONIZE, FALSE, kStartEvent));
    if (start.IsValid()) WaitForSingleObject(start.Get(), 60000);
    const DWORD bit = kFirstWorkerBit << worker;
    for (int round = 0; round < kRounds; ++round) {
        CStorage().SaveDevices(WorkerList(worker));
        StorageFlagsUpdate(0, bit);
        DeviceList loaded;
        CStorage().LoadDevices(loaded);
        if (!IsAWorkersList(loaded)) return 2;
        if (round + 1 < kRounds) StorageFlagsUpdate(bit, 0);
    }
    return 0;
}

TEST(StoreAcrossProcesses, EverySaveIsWholeAndNoFlagsUpdateIsLost) {
    CScopedHandle start(CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    WriteFlags(0);
    std::vector<PROCESS_INFORMATION> workers(kWorkers);
    for (int k = 0; k < kWorkers; ++k) {
        std::string command = "\"" + std::string(self) + "\" --store-worker " + std::to_string(k);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &workers[k]));
    }
    SetEvent(start.Get());
    for (int k = 0; k < kWorkers; ++k) {
        DWORD code = 99;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(workers[k].hProcess, 120000)) << "worker " << k;
        GetExitCodeProcess(workers[k].hProcess, &code);
        EXPECT_EQ(0u, code) << "worker " << k << " loaded a mixed list";
        CloseHandle(workers[k].hProcess);
        CloseHandle(workers[k].hThread);
    }
    DeviceList stored;
    CStorage().LoadDevices(stored);
    EXPECT_TRUE(IsAWorkersList(stored)) << Text(stored);
    EXPECT_EQ(0xF00u, ReadFlags());
    CStorage().SaveDevices(DeviceList());
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kProductKey, "Flags");
}
