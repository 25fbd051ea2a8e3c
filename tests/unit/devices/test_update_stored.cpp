// UpdateDevices with discovery off: the list becomes the stored list, nothing else
// happens (no socket, no save, no Flags change), and the result is 0.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/TestHooks.h"
#include "common/RegistryFixture.h"
#include "devices/Devices.h"
#include "store/Storage.h"

namespace {

constexpr const char* kRoot = kProductKey;
constexpr const char kBoxA[] = "SOFTWARE\\ORVA Systems\\Zentrova\\Devices\\10A0000D";
constexpr const char kBoxATuner0[] = "SOFTWARE\\ORVA Systems\\Zentrova\\Devices\\10A0000D\\Tuners\\0";
constexpr const char kBoxATuner1[] = "SOFTWARE\\ORVA Systems\\Zentrova\\Devices\\10A0000D\\Tuners\\1";
constexpr const char kBoxB[] = "SOFTWARE\\ORVA Systems\\Zentrova\\Devices\\10A00012";
constexpr const char kBoxBTuner0[] = "SOFTWARE\\ORVA Systems\\Zentrova\\Devices\\10A00012\\Tuners\\0";

// A stored list written straight into the registry, with hand-made "Modified" and
// "Owner" values that any save of the list would drop.
void StoreTwoBoxes() {
    using namespace TestRegistry;
    SetString(HKEY_CURRENT_USER, kBoxA, "Ip", "192.0.2.10");
    SetString(HKEY_CURRENT_USER, kBoxA, "Name", "Zentrova@box-a");
    SetDword(HKEY_CURRENT_USER, kBoxA, "Modified", 0x80);
    SetString(HKEY_CURRENT_USER, kBoxATuner0, "Id", "10A0000D-0");
    SetString(HKEY_CURRENT_USER, kBoxATuner0, "Model", "2040:5200:ofdm");
    SetString(HKEY_CURRENT_USER, kBoxATuner0, "Name", "DVB-T");
    SetString(HKEY_CURRENT_USER, kBoxATuner0, "Owner", "viewer-pc");
    SetString(HKEY_CURRENT_USER, kBoxATuner1, "Id", "10A0000D-1");
    SetString(HKEY_CURRENT_USER, kBoxATuner1, "Model", "dvbc");
    SetString(HKEY_CURRENT_USER, kBoxATuner1, "Name", "dvbc");
    SetDword(HKEY_CURRENT_USER, kBoxATuner1, "Modified", 0x8000);
    SetString(HKEY_CURRENT_USER, kBoxB, "Ip", "192.0.2.11");
    SetString(HKEY_CURRENT_USER, kBoxB, "Name", "Zentrova@192.0.2.11");
    SetString(HKEY_CURRENT_USER, kBoxBTuner0, "Id", "10A00012-0");
    SetString(HKEY_CURRENT_USER, kBoxBTuner0, "Model", "dvbt");
    SetString(HKEY_CURRENT_USER, kBoxBTuner0, "Name", "dvbt");
}

DWORD ReadFlags() {
    DWORD type = 0;
    std::string data;
    if (!TestRegistry::Query(HKEY_CURRENT_USER, kRoot, "Flags", type, data) || type != REG_DWORD || data.size() != 4)
        return 0xDEADBEEF;
    DWORD value;
    memcpy(&value, data.data(), 4);
    return value;
}

bool ValueExists(const char* path, const char* name) {
    DWORD type = 0;
    std::string data;
    return TestRegistry::Query(HKEY_CURRENT_USER, path, name, type, data);
}

// Nothing in this process starts Windows Sockets but a search.
bool WinsockStarted() {
    if (WSACleanup() == 0) return true;
    return WSAGetLastError() != WSANOTINITIALISED;
}

class UpdateStored : public ::testing::Test {
protected:
    void SetUp() override {
        TestRegistry::ClearProductKeys();
        TestHooks::ResetFolders();
    }
    void TearDown() override { TestRegistry::ClearProductKeys(); }

    CDevices devices;
    CDevicesLockLifetime lock{devices};
};

const TunerInfo& TunerAt(const DeviceInfo& device, size_t position) { return device.Tuners.at(position); }

TEST_F(UpdateStored, ListEqualsTheStoredListAndTheResultIsZero) {
    StoreTwoBoxes();
    DeviceInfo stale;
    strcpy(stale.Id, "DEADBEEF");
    devices.Devices.push_back(stale);

    EXPECT_EQ(0u, devices.UpdateDevices(false));

    ASSERT_EQ(2u, devices.Devices.size());
    const DeviceInfo& a = devices.Devices[0];
    EXPECT_STREQ("10A0000D", a.Id);
    EXPECT_STREQ("192.0.2.10", a.Ip);
    EXPECT_STREQ("Zentrova@box-a", a.Name);
    EXPECT_EQ(0x80u, a.Modified);
    ASSERT_EQ(2u, a.Tuners.size());
    EXPECT_EQ(0, TunerAt(a, 0).Index);
    EXPECT_STREQ("10A0000D-0", TunerAt(a, 0).Id);
    EXPECT_STREQ("2040:5200:ofdm", TunerAt(a, 0).Model);
    EXPECT_STREQ("DVB-T", TunerAt(a, 0).Name);
    EXPECT_STREQ("viewer-pc", TunerAt(a, 0).Owner);
    EXPECT_EQ(0u, TunerAt(a, 0).Modified);
    EXPECT_EQ(1, TunerAt(a, 1).Index);
    EXPECT_STREQ("10A0000D-1", TunerAt(a, 1).Id);
    EXPECT_EQ(0x8000u, TunerAt(a, 1).Modified);
    EXPECT_STREQ("", TunerAt(a, 1).Owner);

    const DeviceInfo& b = devices.Devices[1];
    EXPECT_STREQ("10A00012", b.Id);
    EXPECT_STREQ("192.0.2.11", b.Ip);
    EXPECT_STREQ("Zentrova@192.0.2.11", b.Name);
    EXPECT_EQ(0u, b.Modified);
    ASSERT_EQ(1u, b.Tuners.size());
    EXPECT_STREQ("dvbt", TunerAt(b, 0).Model);
}

TEST_F(UpdateStored, NothingIsSavedAndFlagsStayAsTheyWere) {
    StoreTwoBoxes();
    TestRegistry::SetDword(HKEY_CURRENT_USER, kRoot, "Flags", FLAG_FORCE_UAC | FLAG_PENDING_FILTERS64);

    EXPECT_EQ(0u, devices.UpdateDevices(false));

    // A save would have rewritten the tree without these hand-made values.
    EXPECT_TRUE(ValueExists(kBoxA, "Modified"));
    EXPECT_TRUE(ValueExists(kBoxATuner0, "Owner"));
    EXPECT_TRUE(ValueExists(kBoxATuner1, "Modified"));
    EXPECT_EQ(FLAG_FORCE_UAC | FLAG_PENDING_FILTERS64, ReadFlags());
}

TEST_F(UpdateStored, ForceBitDoesNotCountWithoutASearch) {
    StoreTwoBoxes();
    TestRegistry::SetDword(HKEY_CURRENT_USER, kRoot, "Flags", FLAG_FORCE_UAC);
    EXPECT_EQ(0u, devices.UpdateDevices(false));
    EXPECT_EQ(FLAG_FORCE_UAC, ReadFlags());
}

TEST_F(UpdateStored, NoStoredListGivesAnEmptyListAndCreatesNothing) {
    DeviceInfo stale;
    strcpy(stale.Id, "DEADBEEF");
    devices.Devices.push_back(stale);

    EXPECT_EQ(0u, devices.UpdateDevices(false));

    EXPECT_TRUE(devices.Devices.empty());
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
}

TEST(WinsockObservation, SeesAStackThatWasStartedAndNotCleanedUp) {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_TRUE(WinsockStarted());  // its WSACleanup balances the start above
    EXPECT_FALSE(WinsockStarted());
}

TEST_F(UpdateStored, NoSocketIsStarted) {
    StoreTwoBoxes();
    devices.UpdateDevices(false);
    EXPECT_FALSE(WinsockStarted());
}

TEST_F(UpdateStored, ListLockIsFreeAfterwards) {
    StoreTwoBoxes();
    devices.UpdateDevices(false);
    // Another thread must be able to take Lock at once.
    struct Probe {
        static DWORD WINAPI Run(void* parameter) {
            auto* section = static_cast<CRITICAL_SECTION*>(parameter);
            if (!TryEnterCriticalSection(section)) return 1;
            LeaveCriticalSection(section);
            return 0;
        }
    };
    HANDLE thread = CreateThread(nullptr, 0, &Probe::Run, &devices.Lock, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, 10000);
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(0u, code);
}

}  // namespace
