// PVR source files of one tuner, written by the 32-bit program only.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "install/InstallSupport.h"
#include "install/PvrModels.h"

using namespace InstallSupport;

namespace {

const char kSources[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?><PVR3>\r\n"
    "  <SOURCES>\r\n"
    "    <SOURCE id=\"B 1: DVB-T\" progid=\"OstrelDevice.Zentrova\">\r\n"
    "      <INPUT id=\"DVBTTuner\" url=\"DvbModes.xml\"/>\r\n"
    "    </SOURCE>\r\n"
    "  </SOURCES>\r\n"
    "</PVR3>\r\n";
const char kIsAvailable[] =
    "<FILTER id=\"Tuner\" instance=\"ORVA Tavrix 1A2B3C4D-0\" category=\"BDA Source Filters\"/>\r\n"
    "<DEVICE board=\"1A2B3C4D-0\"/>\r\n";
const char kDvbtDevice[] =
    "<FILTER id=\"Tuner\" instance=\"ORVA Tavrix 1A2B3C4D-0\" category=\"BDA Source Filters\"/>\r\n"
    "<DEFINE topologyfile=\"SingleTunerCapture.xgr\"/>\r\n";

class PvrFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHooks::SetExeBitness(0);  // the code path of the 32-bit program
        RemovePvrFolder();
        CreatePvrFolder();
    }
    void TearDown() override {
        TestHooks::SetExeBitness(-1);
        RemovePvrFolder();
    }
    std::string TunerFolder(const char* id) { return PvrFolderPath() + "\\Zentrova " + id; }
    std::string File(const char* id, const char* name) { return TunerFolder(id) + "\\" + name; }

    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST_F(PvrFilesTest, WritesTheFolderAndThreeFilesByteForByte) {
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "2040:5200:ofdm", "DVB-T");
    DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
    CLogCapture log;
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    EXPECT_EQ((std::vector<std::string>{"DVBTTuner.device", "IsAvailable.device", "Sources.xml"}),
              FolderEntries(TunerFolder("1A2B3C4D-0")));
    EXPECT_EQ(kSources, ReadBytes(File("1A2B3C4D-0", "Sources.xml")));
    EXPECT_EQ(kIsAvailable, ReadBytes(File("1A2B3C4D-0", "IsAvailable.device")));
    EXPECT_EQ(kDvbtDevice, ReadBytes(File("1A2B3C4D-0", "DVBTTuner.device")));
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(PvrFilesTest, SourceNumberIsIndexPlusOneAndTextIsWrittenAsTheRecordsHoldIt) {
    // Bytes above 0x7F pass unchanged: no character conversion.
    TunerInfo tuner = MakeTuner("10A0000D-1", 1, "x:qam", "DVB-C \xE4");
    DeviceInfo box = MakeDevice("10A0000D", "Zentrova@box \xF6", {tuner});
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    EXPECT_EQ(
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?><PVR3>\r\n"
        "  <SOURCES>\r\n"
        "    <SOURCE id=\"Zentrova@box \xF6 2: DVB-C \xE4\" progid=\"OstrelDevice.OrvaBrdD\">\r\n"
        "      <INPUT id=\"DVBCTuner\" url=\"DvbModes.xml\"/>\r\n"
        "    </SOURCE>\r\n"
        "  </SOURCES>\r\n"
        "</PVR3>\r\n",
        ReadBytes(File("10A0000D-1", "Sources.xml")));
    EXPECT_EQ(
        "<FILTER id=\"Tuner\" instance=\"ORVA Tavrix 10A0000D-1\" category=\"BDA Source Filters\"/>\r\n"
        "<DEFINE topologyfile=\"SingleTunerCapture.xgr\"/>\r\n",
        ReadBytes(File("10A0000D-1", "DVBCTuner.device")));
}

struct ModelCase {
    const char* model;
    const char* type;  // nullptr: not supported
    const char* board;
};

TEST_F(PvrFilesTest, ModelTableIsSearchedInItsOrderCaseSensitively) {
    const ModelCase cases[] = {
        {"8vsb", "ATSCTuner", "OrvaBrdA"},
        {"qam", "DVBCTuner", "OrvaBrdD"},
        {"qpsk", "DVBSTuner", "OrvaBrdB"},
        {"8psk", "DVBSTuner", "OrvaBrdC"},
        {"ofdm", "DVBTTuner", "Zentrova"},
        {"2040:5200:ofdm", "DVBTTuner", "Zentrova"},
        {"qam8vsb", "ATSCTuner", "OrvaBrdA"},    // 8vsb comes first in the table
        {"ofdm qam", "DVBCTuner", "OrvaBrdD"},   // qam before ofdm
        {"8psk+qpsk", "DVBSTuner", "OrvaBrdB"},  // qpsk before 8psk
        {"OFDM", nullptr, nullptr},
        {"QAM 8VSB", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const ModelCase& c : cases) {
        SCOPED_TRACE(c.model);
        const TunerModel* row = FindTunerModel(c.model);
        if (c.type == nullptr) {
            EXPECT_EQ(nullptr, row);
            continue;
        }
        ASSERT_NE(nullptr, row);
        EXPECT_STREQ(c.type, row->type);
        EXPECT_STREQ(c.board, row->board);
    }
}

TEST_F(PvrFilesTest, ModelWithBothSubstringsWritesTheFirstRowsTypeAndBoard) {
    TunerInfo tuner = MakeTuner("1A2B3C46-0", 0, "a8vsb-qam", "ATSC");
    DeviceInfo box = MakeDevice("1A2B3C46", "B", {tuner});
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    EXPECT_EQ((std::vector<std::string>{"ATSCTuner.device", "IsAvailable.device", "Sources.xml"}),
              FolderEntries(TunerFolder("1A2B3C46-0")));
    std::string sources = ReadBytes(File("1A2B3C46-0", "Sources.xml"));
    EXPECT_NE(std::string::npos, sources.find("progid=\"OstrelDevice.OrvaBrdA\""));
    EXPECT_NE(std::string::npos, sources.find("<INPUT id=\"ATSCTuner\""));
}

TEST_F(PvrFilesTest, UnsupportedModelLogsTheModelAndWritesNothing) {
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "2040:5200:OFDM");
    DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
    CLogCapture log;
    EXPECT_FALSE(devices.PvrFiles(box, tuner));
    EXPECT_EQ(std::vector<std::string>{"PvrFiles 32Bit tuner model not supported: 2040:5200:OFDM"}, log.Lines());
    EXPECT_FALSE(Exists(TunerFolder("1A2B3C4D-0")));
    EXPECT_TRUE(FolderEntries(PvrFolderPath()).empty());
}

TEST_F(PvrFilesTest, UnterminatedModelIsReadWithinItsField) {
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "x");
    memset(tuner.Model, 'Q', sizeof(tuner.Model));  // no terminator; the next field follows
    DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
    CLogCapture log;
    EXPECT_FALSE(devices.PvrFiles(box, tuner));
    EXPECT_EQ(std::vector<std::string>{"PvrFiles 32Bit tuner model not supported: " + std::string(19, 'Q')},
              log.Lines());
}

TEST_F(PvrFilesTest, RerunTruncatesAndRewritesTheFiles) {
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "2040:5200:ofdm", "DVB-T");
    DeviceInfo box = MakeDevice("1A2B3C4D", "A much longer box name than before", {tuner});
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    box = MakeDevice("1A2B3C4D", "B", {tuner});
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    EXPECT_EQ(kSources, ReadBytes(File("1A2B3C4D-0", "Sources.xml")));
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    EXPECT_EQ(kSources, ReadBytes(File("1A2B3C4D-0", "Sources.xml")));
    EXPECT_EQ(kIsAvailable, ReadBytes(File("1A2B3C4D-0", "IsAvailable.device")));
    EXPECT_EQ(kDvbtDevice, ReadBytes(File("1A2B3C4D-0", "DVBTTuner.device")));
}

TEST_F(PvrFilesTest, FormerTypesFileStaysBesideTheNewOne) {
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "2040:5200:ofdm", "DVB-T");
    DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
    ASSERT_TRUE(devices.PvrFiles(box, tuner));
    TunerInfo changed = MakeTuner("1A2B3C4D-0", 0, "2040:5200:qam", "DVB-C");
    ASSERT_TRUE(devices.PvrFiles(box, changed));
    EXPECT_EQ((std::vector<std::string>{"DVBCTuner.device", "DVBTTuner.device", "IsAvailable.device", "Sources.xml"}),
              FolderEntries(TunerFolder("1A2B3C4D-0")));
    EXPECT_EQ(kDvbtDevice, ReadBytes(File("1A2B3C4D-0", "DVBTTuner.device")));
    EXPECT_NE(std::string::npos, ReadBytes(File("1A2B3C4D-0", "Sources.xml")).find("<INPUT id=\"DVBCTuner\""));
}

TEST_F(PvrFilesTest, FileThatCannotBeOpenedIsSkippedAndTheOthersAreWritten) {
    std::filesystem::create_directories(File("1A2B3C4D-0", "Sources.xml"));  // a folder in the file's place
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "ofdm", "DVB-T");
    DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
    CLogCapture log;
    EXPECT_TRUE(devices.PvrFiles(box, tuner));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(kIsAvailable, ReadBytes(File("1A2B3C4D-0", "IsAvailable.device")));
    EXPECT_EQ(kDvbtDevice, ReadBytes(File("1A2B3C4D-0", "DVBTTuner.device")));
}

TEST_F(PvrFilesTest, MissingSourceFolderGivesFalseWithTheFolderLine) {
    RemovePvrFolder();
    TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, "ofdm");
    DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
    CLogCapture log;
    EXPECT_FALSE(devices.PvrFiles(box, tuner));
    EXPECT_EQ(std::vector<std::string>{"GetPvrSourcePath 32Bit access path failed: " + PvrFolderPath()}, log.Lines());
    EXPECT_FALSE(Exists(PvrFolderPath()));
}

TEST_F(PvrFilesTest, SixtyFourBitProgramWritesAndLogsNothing) {
    TestHooks::SetExeBitness(1);
    for (const char* model : {"ofdm", "qam", "OFDM"}) {
        TunerInfo tuner = MakeTuner("1A2B3C4D-0", 0, model);
        DeviceInfo box = MakeDevice("1A2B3C4D", "B", {tuner});
        CLogCapture log;
        EXPECT_FALSE(devices.PvrFiles(box, tuner));
        EXPECT_TRUE(log.Lines().empty());
    }
    EXPECT_TRUE(FolderEntries(PvrFolderPath()).empty());
}

}  // namespace
