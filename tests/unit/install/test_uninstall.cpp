// Removal of the filter instances of tuners that are no longer listed.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/Scoped.h"
#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "install/FakeCom.h"
#include "install/InstallSupport.h"

using namespace InstallSupport;

namespace {

// {0D1B2A3C-1111-2222-3333-444455556666}: a filter class of another product.
const CLSID kOtherFilter = {0x0D1B2A3C, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override { ClearInstances(); }
    void TearDown() override { ClearInstances(); }

    void RegisterTuners(std::initializer_list<const char*> ids) {
        for (const char* id : ids) ASSERT_TRUE(devices.Register(MakeTuner(id, 0, "ofdm")));
    }
    void List(const DeviceInfo& device) {
        CCriticalSectionHold hold(devices.Lock);
        devices.Devices.push_back(device);
    }

    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST(TunerNameFromFriendlyName, TakesTheIdAfterPrefixAndSeparator) {
    char id[kTunerIdChars];
    EXPECT_EQ(1, TunerNameFromFriendlyName(L"ORVA Tavrix 1A2B3C4D-0", id));
    EXPECT_STREQ("1A2B3C4D-0", id);
    EXPECT_EQ(1, TunerNameFromFriendlyName(L"ORVA Tavrix_ABC", id));  // any separator character
    EXPECT_STREQ("ABC", id);
    std::wstring longest = L"ORVA Tavrix " + std::wstring(19, L'9');
    EXPECT_EQ(1, TunerNameFromFriendlyName(longest.c_str(), id));
    EXPECT_EQ(std::string(19, '9'), id);
    // The instance Register makes for a tuner whose stored Id reads empty.
    EXPECT_EQ(1, TunerNameFromFriendlyName(L"ORVA Tavrix ", id));
    EXPECT_STREQ("", id);
}

TEST(TunerNameFromFriendlyName, RejectsOtherNamesAndIdsThatCannotFit) {
    char id[kTunerIdChars];
    memset(id, 'x', sizeof(id));
    const wchar_t* rejected[] = {
        L"Other Tuner 1A2B3C4D-0",
        L"orva tavrix 1A2B3C4D-0",  // the comparison is case-sensitive
        L"ORVA Tavri",
        L"ORVA Tavrix",  // ends at the prefix
        L"",
    };
    for (const wchar_t* name : rejected) {
        SCOPED_TRACE(std::string(name, name + wcslen(name)));
        EXPECT_EQ(0, TunerNameFromFriendlyName(name, id));
    }
    std::wstring tooLong = L"ORVA Tavrix " + std::wstring(20, L'9');
    EXPECT_EQ(0, TunerNameFromFriendlyName(tooLong.c_str(), id));
    std::wstring muchTooLong = L"ORVA Tavrix " + std::wstring(5000, L'9');
    EXPECT_EQ(0, TunerNameFromFriendlyName(muchTooLong.c_str(), id));
    EXPECT_EQ(0, TunerNameFromFriendlyName(nullptr, id));
    // Nothing was written past the buffer by any of these.
    EXPECT_EQ(std::string(kTunerIdChars, 'x'), std::string(id, kTunerIdChars));
}

TEST_F(UninstallTest, EmptyListRemovesEveryPrefixedInstanceFromBothCategoriesAndNoOtherProducts) {
    RegisterTuners({"1A2B3C4D-0", "1A2B3C4D-1", "10A0000D-0"});
    for (const GUID* category : {&Receiver(), &NetworkTuner()}) {
        ASSERT_HRESULT_SUCCEEDED(RegisterDirectly(*category, L"Other Tuner 1", kOtherFilter));
        ASSERT_HRESULT_SUCCEEDED(RegisterDirectly(*category, L"orva tavrix 1A2B3C4D-0 copy", kOtherFilter));
    }
    // Registered under the receiver category only: not enumerated, so it stays.
    ASSERT_HRESULT_SUCCEEDED(RegisterDirectly(Receiver(), L"ORVA Tavrix 10A00012-0", CLSID_TavrixTuner));

    CLogCapture log;
    EXPECT_TRUE(devices.Uninstall());
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(Sorted({L"ORVA Tavrix 10A00012-0", L"Other Tuner 1", L"orva tavrix 1A2B3C4D-0 copy"}),
              Sorted(InstanceKeys(Receiver())));
    EXPECT_EQ(Sorted({L"Other Tuner 1", L"orva tavrix 1A2B3C4D-0 copy"}), Sorted(InstanceKeys(NetworkTuner())));
}

TEST_F(UninstallTest, ListedTunersKeepTheirInstancesWhetherPresentOrNot) {
    RegisterTuners({"1A2B3C4D-0", "1A2B3C4D-1", "10A0000D-0"});
    DeviceInfo box = MakeBox("1A2B3C4D", 2);
    box.Modified = 0;  // did not answer the latest search
    for (TunerInfo& tuner : box.Tuners) tuner.Modified = 0;
    List(box);
    EXPECT_TRUE(devices.Uninstall());
    for (const GUID* category : {&Receiver(), &NetworkTuner()})
        EXPECT_EQ(Sorted({L"ORVA Tavrix 1A2B3C4D-0", L"ORVA Tavrix 1A2B3C4D-1"}), Sorted(InstanceKeys(*category)));
}

TEST_F(UninstallTest, UnregistersWithFriendlyNameAsKeyReceiverFirst) {
    RegisterTuners({"10A0000D-0"});
    FakeCom::CFakeComScope fake;
    EXPECT_TRUE(devices.Uninstall());
    const auto& creations = fake.factory.creations;
    ASSERT_EQ(2u, creations.size());
    EXPECT_TRUE(creations[0].clsid == CLSID_SystemDeviceEnum);
    EXPECT_TRUE(creations[0].iid == IID_ICreateDevEnum);
    EXPECT_TRUE(creations[1].clsid == CLSID_FilterMapper2);
    for (const FakeCom::Creation& creation : creations) {
        EXPECT_EQ(0x17u, creation.context);
        EXPECT_TRUE(creation.outerNull);
    }
    ASSERT_EQ(1u, fake.factory.devEnum.categories.size());
    EXPECT_TRUE(fake.factory.devEnum.categories[0] == NetworkTuner());
    EXPECT_EQ(0u, fake.factory.devEnum.flags[0]);

    const auto& calls = fake.factory.mapper.calls;
    ASSERT_EQ(2u, calls.size());
    EXPECT_TRUE(calls[0].category == Receiver());
    EXPECT_TRUE(calls[1].category == NetworkTuner());
    for (const FakeCom::MapperCall& call : calls) {
        EXPECT_EQ("UnregisterFilter", call.method);
        EXPECT_EQ(L"ORVA Tavrix 10A0000D-0", call.instance);
        EXPECT_TRUE(call.filter == CLSID_TavrixTuner);
    }
    EXPECT_EQ(0, fake.factory.mapper.refs);
    EXPECT_EQ(0, fake.factory.devEnum.refs);
    EXPECT_EQ(0, fake.factory.devEnum.enumerator.refs);
}

TEST_F(UninstallTest, EmptyCategoryReportsFalse) {
    ASSERT_HRESULT_SUCCEEDED(RegisterDirectly(Receiver(), L"ORVA Tavrix 10A00012-0", CLSID_TavrixTuner));
    CLogCapture log;
    EXPECT_FALSE(devices.Uninstall());
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(std::vector<std::wstring>{L"ORVA Tavrix 10A00012-0"}, InstanceKeys(Receiver()));
}

TEST_F(UninstallTest, MissingPlatformObjectsReportFalseAndRemoveNothing) {
    RegisterTuners({"10A0000D-0"});
    for (int missing = 0; missing < 3; ++missing) {
        SCOPED_TRACE(missing);
        FakeCom::CFakeComScope fake;
        if (missing == 0) fake.factory.devEnumResult = REGDB_E_CLASSNOTREG;
        if (missing == 1) fake.factory.devEnum.hook = [](const GUID&) { return E_OUTOFMEMORY; };
        if (missing == 2) fake.factory.mapperResult = REGDB_E_CLASSNOTREG;
        CLogCapture log;
        EXPECT_FALSE(devices.Uninstall());
        EXPECT_TRUE(log.Lines().empty());
        EXPECT_TRUE(fake.factory.mapper.calls.empty());
        EXPECT_EQ(0, fake.factory.devEnum.refs);
        EXPECT_EQ(0, fake.factory.devEnum.enumerator.refs);
        EXPECT_TRUE(IsRegistered(Receiver(), "ORVA Tavrix 10A0000D-0"));
        EXPECT_TRUE(IsRegistered(NetworkTuner(), "ORVA Tavrix 10A0000D-0"));
    }
}

TEST_F(UninstallTest, FailedFirstUnregistrationKeepsThatInstanceAndTheWalkGoesOn) {
    RegisterTuners({"10A0000D-0", "10A0000D-1", "10A0000D-2"});
    FakeCom::CFakeComScope fake;
    fake.factory.mapper.hook = [](const FakeCom::MapperCall& call) {
        return call.instance == L"ORVA Tavrix 10A0000D-1" ? E_ACCESSDENIED : FakeCom::kPassThrough;
    };
    EXPECT_TRUE(devices.Uninstall());
    // The failed instance got no second call.
    EXPECT_EQ(5u, fake.factory.mapper.calls.size());
    for (const GUID* category : {&Receiver(), &NetworkTuner()})
        EXPECT_EQ(std::vector<std::wstring>{L"ORVA Tavrix 10A0000D-1"}, InstanceKeys(*category));
}

TEST_F(UninstallTest, ExceptionEndsTheWalkWithFalseAndReleasesEveryReference) {
    RegisterTuners({"10A0000D-0", "10A0000D-1"});
    {
        FakeCom::CFakeComScope fake;
        fake.factory.mapper.hook = [](const FakeCom::MapperCall&) -> HRESULT { throw std::runtime_error("lost"); };
        CLogCapture log;
        EXPECT_FALSE(devices.Uninstall());
        EXPECT_TRUE(log.Lines().empty());
        EXPECT_EQ(1u, fake.factory.mapper.calls.size());
        EXPECT_EQ(0, fake.factory.mapper.refs);
        EXPECT_EQ(0, fake.factory.devEnum.refs);
        EXPECT_EQ(0, fake.factory.devEnum.enumerator.refs);
    }
    {
        FakeCom::CFakeComScope fake;
        fake.factory.devEnum.hook = [](const GUID&) -> HRESULT { throw std::runtime_error("lost"); };
        CLogCapture log;
        EXPECT_FALSE(devices.Uninstall());
        EXPECT_TRUE(log.Lines().empty());
        EXPECT_EQ(0, fake.factory.devEnum.refs);
    }
    EXPECT_EQ(2u, InstanceKeys(NetworkTuner()).size());
}

TEST_F(UninstallTest, InstancesWithoutTextFriendlyNameAreSkipped) {
    RegisterTuners({"10A0000D-0"});
    std::wstring root = InstanceRoot(NetworkTuner());
    const std::wstring noName = root + L"\\ORVA Tavrix 10A0000D-7";
    const std::wstring numberName = root + L"\\ORVA Tavrix 10A0000D-8";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, noName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, numberName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    DWORD number = 7;
    RegSetValueExW(key, L"FriendlyName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    RegCloseKey(key);

    EXPECT_TRUE(devices.Uninstall());
    EXPECT_EQ(Sorted({L"ORVA Tavrix 10A0000D-7", L"ORVA Tavrix 10A0000D-8"}), Sorted(InstanceKeys(NetworkTuner())));
    EXPECT_TRUE(InstanceKeys(Receiver()).empty());
}

}  // namespace
