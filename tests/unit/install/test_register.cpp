// Filter instances registered per tuner under both BDA categories.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "install/FakeCom.h"
#include "install/InstallSupport.h"

using namespace InstallSupport;

namespace {

const wchar_t kName[] = L"ORVA Tavrix 1A2B3C4D-0";

class RegisterTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHooks::SetExeBitness(-1);
        ClearInstances();
    }
    void TearDown() override {
        TestHooks::SetExeBitness(-1);
        ClearInstances();
    }
    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST_F(RegisterTest, InstanceNameIsPrefixBlankAndIdInExactWideCharacters) {
    wchar_t name[kInstanceNameChars];
    ASSERT_TRUE(BuildInstanceNameW("1A2B3C4D-0", name, kInstanceNameChars));
    const wchar_t expected[] = {'O', 'R', 'V', 'A', ' ', 'T', 'a', 'v', 'r', 'i', 'x', ' ',
                                '1', 'A', '2', 'B', '3', 'C', '4', 'D', '-', '0', 0};
    EXPECT_EQ(0, memcmp(expected, name, sizeof(expected)));

    char narrow[kInstanceNameChars];
    ASSERT_TRUE(BuildInstanceName("1A2B3C4D-0", narrow, kInstanceNameChars));
    EXPECT_STREQ("ORVA Tavrix 1A2B3C4D-0", narrow);
}

TEST_F(RegisterTest, InstanceNameReadsAtMostNineteenCharactersOfAnUnterminatedId) {
    TunerInfo tuner;
    memset(tuner.Id, 'F', sizeof(tuner.Id));  // no terminator in the field
    wchar_t name[kInstanceNameChars];
    ASSERT_TRUE(BuildInstanceNameW(tuner.Id, name, kInstanceNameChars));
    EXPECT_EQ(std::wstring(L"ORVA Tavrix ") + std::wstring(19, L'F'), name);
}

TEST_F(RegisterTest, RegistersBothCategoriesWithNameClassMeritAndNoPins) {
    CLogCapture log;
    ASSERT_TRUE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "2040:5200:ofdm")));
    for (const GUID* category : {&Receiver(), &NetworkTuner()}) {
        SCOPED_TRACE(GuidText(*category));
        std::vector<std::wstring> keys = InstanceKeys(*category);
        ASSERT_EQ(1u, keys.size());
        EXPECT_EQ(kName, keys[0]);
        Instance instance = ReadInstance(*category, kName);
        ASSERT_TRUE(instance.exists);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), instance.friendlyNameType);
        EXPECT_EQ(kName, instance.friendlyName);
        EXPECT_EQ(L"{55994794-BB06-46B0-8C23-0CA89D30AFAD}", instance.clsid);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), instance.filterDataType);
        FilterData data = DecodeFilterData(instance.filterData);
        ASSERT_TRUE(data.valid);
        EXPECT_EQ(2u, data.version);  // the registry form of REGFILTER2 version 1
        EXPECT_EQ(0x200000u, data.merit);
        EXPECT_EQ(0u, data.pins);
        EXPECT_EQ(16u, data.size);  // the header alone: no pin follows
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(RegisterTest, CallsTheMapperAsTheFilterMapperContractSays) {
    FakeCom::CFakeComScope fake;
    ASSERT_TRUE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
    ASSERT_EQ(1u, fake.factory.creations.size());
    const FakeCom::Creation& creation = fake.factory.creations[0];
    EXPECT_TRUE(creation.clsid == CLSID_FilterMapper2);
    EXPECT_TRUE(creation.iid == IID_IFilterMapper2);
    EXPECT_TRUE(creation.outerNull);
    EXPECT_EQ(0x17u, creation.context);

    const auto& calls = fake.factory.mapper.calls;
    ASSERT_EQ(2u, calls.size());
    EXPECT_TRUE(calls[0].category == Receiver());
    EXPECT_TRUE(calls[1].category == NetworkTuner());
    for (const FakeCom::MapperCall& call : calls) {
        EXPECT_EQ("RegisterFilter", call.method);
        EXPECT_TRUE(call.filter == CLSID_TavrixTuner);
        EXPECT_EQ(kName, call.name);
        EXPECT_EQ(kName, call.instance);
        EXPECT_TRUE(call.monikerOutNull);
        EXPECT_FALSE(call.dataNull);
        EXPECT_EQ(1u, call.version);
        EXPECT_EQ(0x200000u, call.merit);
        EXPECT_EQ(0u, call.pins);
        EXPECT_TRUE(call.pinsNull);
    }
    EXPECT_EQ(0, fake.factory.mapper.refs);  // released
}

TEST_F(RegisterTest, SecondRunRegistersTheSameInstanceUnchanged) {
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "ofdm");
    ASSERT_TRUE(devices.Register(tuner));
    Instance first = ReadInstance(Receiver(), kName);
    Instance firstTuner = ReadInstance(NetworkTuner(), kName);
    FakeCom::CFakeComScope fake;
    ASSERT_TRUE(devices.Register(tuner));
    EXPECT_EQ(2u, fake.factory.mapper.Count("RegisterFilter"));  // registered again, not skipped
    Instance second = ReadInstance(Receiver(), kName);
    Instance secondTuner = ReadInstance(NetworkTuner(), kName);
    EXPECT_EQ(first.friendlyName, second.friendlyName);
    EXPECT_EQ(first.clsid, second.clsid);
    EXPECT_EQ(first.filterData, second.filterData);
    EXPECT_EQ(firstTuner.filterData, secondTuner.filterData);
    EXPECT_EQ(1u, InstanceKeys(Receiver()).size());
    EXPECT_EQ(1u, InstanceKeys(NetworkTuner()).size());
}

TEST_F(RegisterTest, MapperThatCannotBeCreatedLogsItsHresult) {
    for (int bits : {1, 0}) {
        TestHooks::SetExeBitness(bits);
        FakeCom::CFakeComScope fake;
        fake.factory.mapperResult = REGDB_E_CLASSNOTREG;
        CLogCapture log;
        EXPECT_FALSE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
        std::string expected = std::string("Register ") + (bits ? "64" : "32") +
                               "Bit create filter mapper failed! 0x80040154";
        EXPECT_EQ(std::vector<std::string>{expected}, log.Lines());
        EXPECT_TRUE(fake.factory.mapper.calls.empty());
    }
    EXPECT_TRUE(InstanceKeys(Receiver()).empty());
}

TEST_F(RegisterTest, FailingFirstCategoryLogsOnceAndSkipsTheSecond) {
    FakeCom::CFakeComScope fake;
    fake.factory.mapper.hook = [](const FakeCom::MapperCall&) { return E_ACCESSDENIED; };
    CLogCapture log;
    EXPECT_FALSE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
    EXPECT_EQ(std::vector<std::string>{"Register 64Bit KSCATEGORY_BDA_RECEIVER_COMPONENT failed! 0x80070005"},
              log.Lines());
    EXPECT_EQ(1u, fake.factory.mapper.calls.size());
    EXPECT_EQ(0, fake.factory.mapper.refs);
}

TEST_F(RegisterTest, FailingSecondCategoryLeavesTheReceiverInstance) {
    TestHooks::SetExeBitness(0);
    FakeCom::CFakeComScope fake;
    fake.factory.mapper.hook = [](const FakeCom::MapperCall& call) {
        return call.category == NetworkTuner() ? E_FAIL : FakeCom::kPassThrough;
    };
    CLogCapture log;
    EXPECT_FALSE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
    EXPECT_EQ(std::vector<std::string>{"Register 32Bit KSCATEGORY_BDA_NETWORK_TUNER failed! 0x80004005"}, log.Lines());
    EXPECT_TRUE(ReadInstance(Receiver(), kName).exists);
    EXPECT_FALSE(ReadInstance(NetworkTuner(), kName).exists);
    EXPECT_EQ(0, fake.factory.mapper.refs);
}

TEST_F(RegisterTest, PositiveSuccessCodesCountAsSuccess) {
    FakeCom::CFakeComScope fake;
    fake.factory.mapper.hook = [](const FakeCom::MapperCall&) { return S_FALSE; };
    CLogCapture log;
    EXPECT_TRUE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
    EXPECT_EQ(2u, fake.factory.mapper.calls.size());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(RegisterTest, ExceptionInTheComWorkIsCaughtLoggedAndReleasesTheMapper) {
    {
        FakeCom::CFakeComScope fake;
        fake.factory.mapper.hook = [](const FakeCom::MapperCall& call) -> HRESULT {
            if (call.category == NetworkTuner()) throw std::runtime_error("lost");
            return FakeCom::kPassThrough;
        };
        CLogCapture log;
        EXPECT_FALSE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
        EXPECT_EQ(std::vector<std::string>{"Register 64Bit Filter failed with unknown exception!"}, log.Lines());
        EXPECT_EQ(0, fake.factory.mapper.refs);
    }
    {
        // An exception while the mapper is being created is caught as well.
        FakeCom::CFakeComScope fake;
        fake.factory.mapperThrows = true;
        CLogCapture log;
        EXPECT_FALSE(devices.Register(MakeTuner("1A2B3C4D-0", 0, "ofdm")));
        EXPECT_EQ(std::vector<std::string>{"Register 64Bit Filter failed with unknown exception!"}, log.Lines());
    }
}

}  // namespace
