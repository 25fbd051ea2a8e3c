// The install walk over the list and its Flags update.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "app/Scoped.h"
#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "common/RegistryFixture.h"
#include "install/FakeCom.h"
#include "install/InstallSupport.h"
#include "store/Storage.h"

using namespace InstallSupport;

namespace {

DWORD ReadFlags() {
    DWORD type = 0;
    std::string data;
    if (!TestRegistry::Query(HKEY_CURRENT_USER, kProductKey, "Flags", type, data) || type != REG_DWORD ||
        data.size() != 4)
        return 0xDEADBEEF;
    DWORD value = 0;
    memcpy(&value, data.data(), 4);
    return value;
}

void WriteFlags(DWORD value) { TestRegistry::SetDword(HKEY_CURRENT_USER, kProductKey, "Flags", value); }

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestRegistry::ClearProductKeys();
        ClearInstances();
        RemovePvrFolder();
        CreatePvrFolder();
    }
    void TearDown() override {
        TestHooks::SetExeBitness(-1);
        TestRegistry::ClearProductKeys();
        ClearInstances();
        RemovePvrFolder();
    }
    void List(const DeviceInfo& device) {
        CCriticalSectionHold hold(devices.Lock);
        devices.Devices.push_back(device);
    }
    std::string TunerFolder(const std::string& id) { return PvrFolderPath() + "\\Zentrova " + id; }

    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST_F(InstallTest, EmptyListClearsTheBitsOfTheProgramsBitnessAndReportsTrue) {
    TestHooks::SetExeBitness(0);
    WriteFlags(0x17);
    EXPECT_TRUE(devices.Install());
    EXPECT_EQ(0x12u, ReadFlags());

    TestHooks::SetExeBitness(1);
    WriteFlags(0x17);
    EXPECT_TRUE(devices.Install());
    EXPECT_EQ(0x15u, ReadFlags());
    EXPECT_TRUE(InstanceKeys(NetworkTuner()).empty());
}

TEST_F(InstallTest, FullThirtyTwoBitRunRegistersWritesAndClearsOneAndFour) {
    TestHooks::SetExeBitness(0);
    WriteFlags(0x17);
    List(MakeBox("1A2B3C4D", 2));
    List(MakeBox("10A0000D", 1, "C"));
    CLogCapture log;
    EXPECT_TRUE(devices.Install());
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(0x12u, ReadFlags());
    for (const char* id : {"1A2B3C4D-0", "1A2B3C4D-1", "10A0000D-0"}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(IsRegistered(Receiver(), std::string("ORVA Tavrix ") + id));
        EXPECT_TRUE(IsRegistered(NetworkTuner(), std::string("ORVA Tavrix ") + id));
        EXPECT_EQ((std::vector<std::string>{"DVBTTuner.device", "IsAvailable.device", "Sources.xml"}),
                  FolderEntries(TunerFolder(id)));
    }
    EXPECT_NE(std::string::npos, ReadBytes(TunerFolder("10A0000D-0") + "\\Sources.xml").find("id=\"C 1: DVB-T\""));
    EXPECT_NE(std::string::npos, ReadBytes(TunerFolder("1A2B3C4D-1") + "\\Sources.xml").find("id=\"B 2: DVB-T\""));
}

TEST_F(InstallTest, UnsupportedModelLeavesPvrPendingButRegistersEveryTuner) {
    TestHooks::SetExeBitness(0);
    WriteFlags(0x17);
    List(MakeDevice("1A2B3C4D", "B",
                    {MakeTuner("1A2B3C4D-0", 0, "2040:5200:OFDM"), MakeTuner("1A2B3C4D-1", 1, "2040:5200:ofdm")}));
    CLogCapture log;
    EXPECT_FALSE(devices.Install());
    EXPECT_EQ(std::vector<std::string>{"PvrFiles 32Bit tuner model not supported: 2040:5200:OFDM"}, log.Lines());
    EXPECT_EQ(0x16u, ReadFlags());
    EXPECT_EQ(2u, InstanceKeys(Receiver()).size());
    EXPECT_EQ(2u, InstanceKeys(NetworkTuner()).size());
    EXPECT_EQ(std::vector<std::string>{"Zentrova 1A2B3C4D-1"}, FolderEntries(PvrFolderPath()));
}

TEST_F(InstallTest, SixtyFourBitRunClearsOnlyTwoAndReportsFalse) {
    TestHooks::SetExeBitness(1);
    WriteFlags(0x17);
    List(MakeBox("1A2B3C4D", 1));
    CLogCapture log;
    EXPECT_FALSE(devices.Install());
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(0x15u, ReadFlags());
    EXPECT_TRUE(IsRegistered(NetworkTuner(), "ORVA Tavrix 1A2B3C4D-0"));
    EXPECT_TRUE(FolderEntries(PvrFolderPath()).empty());
}

TEST_F(InstallTest, FailedRegistrationLeavesItsBitAndEveryTunerGetsBothSteps) {
    TestHooks::SetExeBitness(0);
    WriteFlags(0x07);
    List(MakeDevice("1A2B3C4D", "B", {MakeTuner("1A2B3C4D-0", 0, "ofdm"), MakeTuner("1A2B3C4D-1", 1, "none")}));
    FakeCom::CFakeComScope fake;
    fake.factory.mapperResult = REGDB_E_CLASSNOTREG;
    CLogCapture log;
    EXPECT_FALSE(devices.Install());
    // Per tuner the registration comes first, then the files; a failure ends nothing.
    EXPECT_EQ((std::vector<std::string>{"Register 32Bit create filter mapper failed! 0x80040154",
                                        "Register 32Bit create filter mapper failed! 0x80040154",
                                        "PvrFiles 32Bit tuner model not supported: none"}),
              log.Lines());
    EXPECT_EQ(0x07u, ReadFlags());
    EXPECT_EQ(std::vector<std::string>{"Zentrova 1A2B3C4D-0"}, FolderEntries(PvrFolderPath()));

    // Registration failing alone: the files' bit goes, the filters' bit stays, result true.
    {
        CCriticalSectionHold hold(devices.Lock);
        devices.Devices[0].Tuners.pop_back();
    }
    EXPECT_TRUE(devices.Install());
    EXPECT_EQ(0x03u, ReadFlags());
}

TEST_F(InstallTest, SecondRunRegistersAndWritesTheSameAgain) {
    TestHooks::SetExeBitness(0);
    List(MakeBox("1A2B3C4D", 2));
    ASSERT_TRUE(devices.Install());
    Instance first = ReadInstance(NetworkTuner(), L"ORVA Tavrix 1A2B3C4D-1");
    std::string sources = ReadBytes(TunerFolder("1A2B3C4D-1") + "\\Sources.xml");
    FakeCom::CFakeComScope fake;
    ASSERT_TRUE(devices.Install());
    EXPECT_EQ(4u, fake.factory.mapper.Count("RegisterFilter"));
    Instance second = ReadInstance(NetworkTuner(), L"ORVA Tavrix 1A2B3C4D-1");
    EXPECT_EQ(first.friendlyName, second.friendlyName);
    EXPECT_EQ(first.clsid, second.clsid);
    EXPECT_EQ(first.filterData, second.filterData);
    EXPECT_EQ(sources, ReadBytes(TunerFolder("1A2B3C4D-1") + "\\Sources.xml"));
    EXPECT_EQ(2u, InstanceKeys(Receiver()).size());
}

TEST_F(InstallTest, AsksForThePvrSourceFolderOnceMoreAfterTheWalk) {
    RemovePvrFolder();
    List(MakeBox("1A2B3C4D", 2));
    const std::string line64 = "GetPvrSourcePath 64Bit access path failed: " + PvrFolderPath();
    const std::string line32 = "GetPvrSourcePath 32Bit access path failed: " + PvrFolderPath();
    {
        TestHooks::SetExeBitness(1);
        CLogCapture log;
        devices.Install();
        EXPECT_EQ(std::vector<std::string>{line64}, log.Lines());
    }
    {
        TestHooks::SetExeBitness(0);
        CLogCapture log;
        EXPECT_FALSE(devices.Install());
        EXPECT_EQ((std::vector<std::string>{line32, line32, line32}), log.Lines());
    }
}

TEST_F(InstallTest, WalkHoldsTheListLockButNotTheStoreMutex) {
    TestHooks::SetExeBitness(1);
    List(MakeBox("1A2B3C4D", 1));
    int lockFreeDuringWalk = -1;
    int mutexFreeDuringWalk = -1;
    FakeCom::CFakeComScope fake;
    fake.factory.mapper.hook = [&](const FakeCom::MapperCall&) {
        std::thread other([&] {
            lockFreeDuringWalk = TryEnterCriticalSection(&devices.Lock) ? 1 : 0;
            if (lockFreeDuringWalk) LeaveCriticalSection(&devices.Lock);
            CScopedHandle mutex(CreateMutexA(nullptr, FALSE, kStoreMutexName));
            DWORD wait = WaitForSingleObject(mutex.Get(), 0);
            mutexFreeDuringWalk = wait == WAIT_OBJECT_0 ? 1 : 0;
            if (wait == WAIT_OBJECT_0) ReleaseMutex(mutex.Get());
        });
        other.join();
        return FakeCom::kPassThrough;
    };
    devices.Install();
    EXPECT_EQ(0, lockFreeDuringWalk);
    EXPECT_EQ(1, mutexFreeDuringWalk);
    std::thread after([&] {
        lockFreeDuringWalk = TryEnterCriticalSection(&devices.Lock) ? 1 : 0;
        if (lockFreeDuringWalk) LeaveCriticalSection(&devices.Lock);
    });
    after.join();
    EXPECT_EQ(1, lockFreeDuringWalk);
}

TEST_F(InstallTest, FlagsUpdateWaitsForTheStoreMutex) {
    TestHooks::SetExeBitness(1);
    WriteFlags(0x07);
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        CNamedMutexHold hold(kStoreMutexName);
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
    });
    WaitForSingleObject(taken, INFINITE);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread installer([&] {
        CoInitialize(nullptr);
        devices.Install();
        CoUninitialize();
        SetEvent(done);
    });
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(done, 500));
    EXPECT_EQ(0x07u, ReadFlags());
    SetEvent(release);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(done, 10000));
    installer.join();
    holder.join();
    EXPECT_EQ(0x05u, ReadFlags());
    CloseHandle(taken);
    CloseHandle(release);
    CloseHandle(done);
}

}  // namespace
