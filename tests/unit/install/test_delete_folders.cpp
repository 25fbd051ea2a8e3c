// Deletion of tuner folders that belong to no listed tuner.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "app/Scoped.h"
#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "install/InstallSupport.h"

using namespace InstallSupport;

namespace {

// A fresh folder below the temporary folder for each test.
std::string NewTestFolder() {
    static std::atomic<int> counter{0};
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "tavrix-delete-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(counter++);
    std::filesystem::create_directories(folder);
    return folder;
}

class DeleteTunerFoldersTest : public ::testing::Test {
protected:
    void SetUp() override { folder = NewTestFolder(); }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
    void MakeFolder(const std::string& name) { std::filesystem::create_directories(folder + "\\" + name); }
    void MakeFile(const std::string& name) { WriteBytes(folder + "\\" + name, "data"); }
    void MakeTunerFolder(const std::string& id) {
        MakeFolder("Zentrova " + id);
        MakeFile("Zentrova " + id + "\\Sources.xml");
        MakeFile("Zentrova " + id + "\\IsAvailable.device");
        MakeFile("Zentrova " + id + "\\DVBTTuner.device");
    }
    void List(const DeviceInfo& device) {
        CCriticalSectionHold hold(devices.Lock);
        devices.Devices.push_back(device);
    }

    std::string folder;
    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST_F(DeleteTunerFoldersTest, ListedTunersKeepTheirFoldersAndEverythingElseWithThePrefixGoes) {
    MakeTunerFolder("1A2B3C4D-0");
    MakeTunerFolder("1A2B3C4D-1");
    MakeTunerFolder("10A0000D-0");
    MakeFile("Zentrova notes.txt");   // a plain file with the prefix: deleted without a list check
    MakeFile("Zentrova 1A2B3C4D-2");  // even when its name is a listed tuner's folder name
    MakeFile("readme.txt");           // not found by the pattern
    MakeFolder("Other");
    DeviceInfo box = MakeBox("1A2B3C4D", 3);
    box.Modified = 0;  // listed, though it did not answer the latest search
    List(box);
    CLogCapture log;
    EXPECT_TRUE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ((std::vector<std::string>{"Other", "Zentrova 1A2B3C4D-0", "Zentrova 1A2B3C4D-1", "readme.txt"}),
              FolderEntries(folder));
    EXPECT_EQ((std::vector<std::string>{"DVBTTuner.device", "IsAvailable.device", "Sources.xml"}),
              FolderEntries(folder + "\\Zentrova 1A2B3C4D-0"));
}

TEST_F(DeleteTunerFoldersTest, NothingDeletedReportsFalse) {
    EXPECT_FALSE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));  // nothing found
    MakeTunerFolder("1A2B3C4D-0");
    MakeFolder("zentrova 10A0000D-0");  // found by the platform's search, but the name test is case-sensitive
    List(MakeBox("1A2B3C4D", 1));
    EXPECT_FALSE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_EQ((std::vector<std::string>{"Zentrova 1A2B3C4D-0", "zentrova 10A0000D-0"}), FolderEntries(folder));
    EXPECT_FALSE(devices.DeleteTunerFolders((folder + "\\missing").c_str(), "Zentrova*"));
}

TEST_F(DeleteTunerFoldersTest, ForeignSubfolderStopsTheWalkWithFalse) {
    MakeTunerFolder("10A0000D-0");
    MakeFolder("Zentrova 10A0000D-0\\Sub");
    MakeFile("Zentrova 10A0000D-0\\Sub\\inner.txt");
    EXPECT_FALSE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    // The files went, the foreign subfolder and so its parent stay.
    EXPECT_EQ(std::vector<std::string>{"Sub"}, FolderEntries(folder + "\\Zentrova 10A0000D-0"));
    EXPECT_EQ(std::vector<std::string>{"inner.txt"}, FolderEntries(folder + "\\Zentrova 10A0000D-0\\Sub"));
}

TEST_F(DeleteTunerFoldersTest, NestedFolderOfAListedTunerKeepsItsParent) {
    MakeTunerFolder("10A0000D-0");
    MakeTunerFolder("10A0000D-0\\Zentrova 1A2B3C4D-0");
    List(MakeBox("1A2B3C4D", 1));
    EXPECT_FALSE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_EQ(std::vector<std::string>{"Zentrova 1A2B3C4D-0"}, FolderEntries(folder + "\\Zentrova 10A0000D-0"));
}

TEST_F(DeleteTunerFoldersTest, EmptyTunerFolderOfAnUnlistedTunerIsRemoved) {
    MakeFolder("Zentrova 10A0000D-0");
    MakeTunerFolder("10A0000D-1");
    MakeFolder("Zentrova 10A0000D-1\\Zentrova 10A0000D-9");  // empty nested tuner folder
    EXPECT_TRUE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_TRUE(FolderEntries(folder).empty());
    // An empty folder alone is something removed, too.
    MakeFolder("Zentrova 10A00012-0");
    EXPECT_TRUE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_TRUE(FolderEntries(folder).empty());
}

TEST_F(DeleteTunerFoldersTest, NamesWithoutAFittingIdCannotBelongToAListedTuner) {
    const std::string id19(19, '7');
    MakeFolder("Zentrova");                  // ends at the prefix
    MakeFolder("Zentrova ");                 // ends at the separator (Windows drops the blank)
    MakeFolder("Zentrova " + id19 + "7");    // 20 characters: never cut down to the listed 19
    MakeFolder("Zentrova " + id19);          // the listed tuner
    DeviceInfo box = MakeDevice("77777777", "B", {MakeTuner(id19.c_str(), 0, "ofdm")});
    List(box);
    EXPECT_TRUE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_EQ(std::vector<std::string>{"Zentrova " + id19}, FolderEntries(folder));
}

TEST_F(DeleteTunerFoldersTest, FileThatCannotBeDeletedEndsTheWalkWithFalse) {
    MakeTunerFolder("10A0000D-0");
    std::string locked = folder + "\\Zentrova 10A0000D-0\\Sources.xml";
    CScopedHandle handle(CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle.IsValid());
    EXPECT_FALSE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_TRUE(Exists(locked));
    handle.Reset();
    EXPECT_TRUE(devices.DeleteTunerFolders(folder.c_str(), "Zentrova*"));
    EXPECT_TRUE(FolderEntries(folder).empty());
}

TEST_F(DeleteTunerFoldersTest, PathsThatDoNotFitAreNotSearched) {
    std::string deep = folder + "\\" + std::string(240, 'd');
    EXPECT_FALSE(devices.DeleteTunerFolders(deep.c_str(), "Zentrova*"));
    std::string pattern(300, '*');
    EXPECT_FALSE(devices.DeleteTunerFolders(folder.c_str(), pattern.c_str()));
}

class DeletePvrFoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemovePvrFolder();
        CreatePvrFolder();
    }
    void TearDown() override {
        TestHooks::SetExeBitness(-1);
        RemovePvrFolder();
    }
    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST_F(DeletePvrFoldersTest, SixtyFourBitProgramDeletesNothingAndReportsTrue) {
    TestHooks::SetExeBitness(1);
    std::filesystem::create_directories(PvrFolderPath() + "\\Zentrova 10A0000D-0");
    EXPECT_TRUE(devices.DeletePvrFolders());
    EXPECT_TRUE(Exists(PvrFolderPath() + "\\Zentrova 10A0000D-0"));
    RemovePvrFolder();
    CLogCapture log;
    EXPECT_TRUE(devices.DeletePvrFolders());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DeletePvrFoldersTest, ThirtyTwoBitProgramCleansThePvrSourceFolder) {
    TestHooks::SetExeBitness(0);
    std::filesystem::create_directories(PvrFolderPath() + "\\Zentrova 10A0000D-0");
    std::filesystem::create_directories(PvrFolderPath() + "\\Zentrova 1A2B3C4D-0");
    std::filesystem::create_directories(PvrFolderPath() + "\\Other");
    WriteBytes(PvrFolderPath() + "\\Zentrova 10A0000D-0\\Sources.xml", "x");
    {
        CCriticalSectionHold hold(devices.Lock);
        devices.Devices.push_back(MakeBox("1A2B3C4D", 1));
    }
    EXPECT_TRUE(devices.DeletePvrFolders());
    EXPECT_EQ((std::vector<std::string>{"Other", "Zentrova 1A2B3C4D-0"}), FolderEntries(PvrFolderPath()));
    EXPECT_FALSE(devices.DeletePvrFolders());  // nothing left to remove
}

TEST_F(DeletePvrFoldersTest, MissingFolderReportsFalseWithTheFolderLine) {
    TestHooks::SetExeBitness(0);
    RemovePvrFolder();
    CLogCapture log;
    EXPECT_FALSE(devices.DeletePvrFolders());
    EXPECT_EQ(std::vector<std::string>{"GetPvrSourcePath 32Bit access path failed: " + PvrFolderPath()}, log.Lines());
}

}  // namespace
