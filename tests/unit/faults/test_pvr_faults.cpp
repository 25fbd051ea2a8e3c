// PVR files that cannot be written: read-only, locked by another handle, a plain file where
// the tuner folder belongs, no PVR source folder at all; and records whose text fields lack
// their terminator. Only the 32-bit program writes PVR files, so every test runs that code
// path (executable bitness set to 32). Each test says the outcome it provokes.
//
// Wine maps the read-only attribute to Unix permissions, which do not bind root: a read-only
// file stays writable for these tests. So the read-only files are also made immutable
// (chattr +i, started as a Unix program), and the test checks that they refuse writing.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/Paths.h"
#include "app/Scoped.h"
#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "devices/Devices.h"
#include "store/Storage.h"

namespace {

const char kOld[] = "old content\r\n";
const char* const kFiles[] = {"Sources.xml", "IsAvailable.device", "DVBTTuner.device"};

using UnixFileName = char*(CDECL*)(LPCWSTR);

std::string UnixPath(const std::string& path) {
    auto convert = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return std::string();
    std::wstring wide(path.begin(), path.end());
    char* unix = convert(wide.c_str());
    if (unix == nullptr) return std::string();
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

bool Writable(const std::string& path) {
    CScopedHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

// Runs chattr on the file and waits until it refuses (or takes) writing; false when the
// file system does not go along. Wine gives no usable handle for a Unix process, so the
// file itself tells when chattr has run.
bool SetImmutable(const std::string& path, bool immutable) {
    std::string unix = UnixPath(path);
    if (unix.empty()) return false;
    // Wine splits the command line by Windows rules to make the Unix program's arguments.
    std::string command = std::string("chattr ") + (immutable ? "+i " : "-i ") + "\"" + unix + "\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA("Z:\\usr\\bin\\chattr", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 200; ++i) {
        if (Writable(path) != immutable) return true;
        Sleep(25);
    }
    return false;
}

std::string PvrFolder() {
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    return std::string(common) + "\\ORVA Systems\\PVR\\Supported3\\Sources";
}

std::string ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

void RemoveTree(const std::string& path) {
    // Read-only files left by a test would stop the removal.
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error))
        SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(path, error);
}

TunerInfo Tuner(const char* id, int index) {
    TunerInfo tuner;
    tuner.Index = index;
    strcpy_s(tuner.Id, sizeof(tuner.Id), id);
    strcpy_s(tuner.Model, sizeof(tuner.Model), "2040:5200:ofdm");
    strcpy_s(tuner.Name, sizeof(tuner.Name), "DVB-T");
    return tuner;
}

DeviceInfo Box(const char* id, std::vector<TunerInfo> tuners) {
    DeviceInfo device;
    strcpy_s(device.Id, sizeof(device.Id), id);
    strcpy_s(device.Ip, sizeof(device.Ip), "192.0.2.10");
    strcpy_s(device.Name, sizeof(device.Name), "Zentrova@box");
    device.Tuners = std::move(tuners);
    return device;
}

DWORD StoredFlags() {
    CNamedMutexHold hold(kStoreMutexName);
    return StorageFlagsRead();
}

class PvrFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHooks::SetExeBitness(0);
        RemoveTree(PvrFolder());
        std::filesystem::create_directories(PvrFolder());
    }
    void TearDown() override {
        for (const std::string& path : immutable_) SetImmutable(path, false);
        RemoveTree(PvrFolder());
        TestHooks::SetExeBitness(-1);
    }

    std::string TunerFolder(const char* id) const { return PvrFolder() + "\\Zentrova " + id; }
    std::string FileOf(const char* id, const char* name) const { return TunerFolder(id) + "\\" + name; }

    // The tuner folder with the three files holding kOld.
    void OldFiles(const char* id) {
        std::filesystem::create_directories(TunerFolder(id));
        for (const char* name : kFiles) WriteBytes(FileOf(id, name), kOld);
    }

    CDevices devices;
    CDevicesLockLifetime lifetime{devices};
    std::vector<std::string> immutable_;  // made writable again in TearDown
};

TEST_F(PvrFaultTest, ReadOnlyFilesStayAsTheyAreAndTheTunerStillCountsAsDone) {
    OldFiles("10A0000D-0");
    for (const char* name : kFiles) {
        std::string path = FileOf("10A0000D-0", name);
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
        immutable_.push_back(path);
        if (!SetImmutable(path, true)) GTEST_SKIP() << "this file system cannot make a file refuse root's writes";
    }
    TunerInfo tuner = Tuner("10A0000D-0", 0);
    CLogCapture log;

    EXPECT_TRUE(devices.PvrFiles(Box("10A0000D", {tuner}), tuner));

    for (const char* name : kFiles) EXPECT_EQ(kOld, ReadBytes(FileOf("10A0000D-0", name))) << name;
    EXPECT_EQ(std::vector<std::string>{}, log.Lines());
}

TEST_F(PvrFaultTest, LockedFilesAreSkippedAndTheOthersWritten) {
    OldFiles("10A0000D-0");
    // Another program holds Sources.xml open without sharing.
    CScopedHandle lock(CreateFileA(FileOf("10A0000D-0", "Sources.xml").c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.IsValid());
    TunerInfo tuner = Tuner("10A0000D-0", 0);

    EXPECT_TRUE(devices.PvrFiles(Box("10A0000D", {tuner}), tuner));
    lock.Reset();

    EXPECT_EQ(kOld, ReadBytes(FileOf("10A0000D-0", "Sources.xml")));
    EXPECT_EQ(
        "<FILTER id=\"Tuner\" instance=\"ORVA Tavrix 10A0000D-0\" category=\"BDA Source Filters\"/>\r\n"
        "<DEVICE board=\"10A0000D-0\"/>\r\n",
        ReadBytes(FileOf("10A0000D-0", "IsAvailable.device")));
    EXPECT_EQ(
        "<FILTER id=\"Tuner\" instance=\"ORVA Tavrix 10A0000D-0\" category=\"BDA Source Filters\"/>\r\n"
        "<DEFINE topologyfile=\"SingleTunerCapture.xgr\"/>\r\n",
        ReadBytes(FileOf("10A0000D-0", "DVBTTuner.device")));
}

TEST_F(PvrFaultTest, AFileWhereTheTunerFolderBelongsIsLeftAlone) {
    WriteBytes(TunerFolder("10A0000D-0"), kOld);
    TunerInfo tuner = Tuner("10A0000D-0", 0);

    EXPECT_TRUE(devices.PvrFiles(Box("10A0000D", {tuner}), tuner));

    EXPECT_EQ(kOld, ReadBytes(TunerFolder("10A0000D-0")));
    EXPECT_FALSE(std::filesystem::is_directory(TunerFolder("10A0000D-0")));
}

TEST_F(PvrFaultTest, WithoutThePvrSourceFolderNothingIsWrittenAndTheLineNamesThePath) {
    RemoveTree(PvrFolder());
    TunerInfo tuner = Tuner("10A0000D-0", 0);
    CLogCapture log;

    EXPECT_FALSE(devices.PvrFiles(Box("10A0000D", {tuner}), tuner));

    EXPECT_EQ(std::vector<std::string>{"GetPvrSourcePath 32Bit access path failed: " + PvrFolder()}, log.Lines());
    EXPECT_FALSE(std::filesystem::exists(PvrFolder()));
}

TEST_F(PvrFaultTest, UnterminatedFieldsAreReadNoFurtherThanTheirFields) {
    // Every text field filled to its last byte, each neighbour with its own letter: a read
    // past a field would carry the neighbour's letter into a file or folder name.
    TunerInfo tuner;
    tuner.Index = 0;
    memset(tuner.Id, 'I', sizeof(tuner.Id));
    strcpy_s(tuner.Model, sizeof(tuner.Model), "ofdm");
    memset(tuner.Name, 'T', sizeof(tuner.Name));
    memset(tuner.Owner, 'O', sizeof(tuner.Owner));
    DeviceInfo box;
    memset(box.Id, 'D', sizeof(box.Id));
    memset(box.Ip, 'P', sizeof(box.Ip));
    memset(box.Name, 'N', sizeof(box.Name));
    box.Tuners.push_back(tuner);
    const std::string id(19, 'I');

    EXPECT_TRUE(devices.PvrFiles(box, tuner));

    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\" ?><PVR3>\r\n"
              "  <SOURCES>\r\n"
              "    <SOURCE id=\"" + std::string(79, 'N') + " 1: " + std::string(79, 'T') +
                  "\" progid=\"OstrelDevice.Zentrova\">\r\n"
              "      <INPUT id=\"DVBTTuner\" url=\"DvbModes.xml\"/>\r\n"
              "    </SOURCE>\r\n"
              "  </SOURCES>\r\n"
              "</PVR3>\r\n",
              ReadBytes(FileOf(id.c_str(), "Sources.xml")));
    EXPECT_EQ("<FILTER id=\"Tuner\" instance=\"ORVA Tavrix " + id + "\" category=\"BDA Source Filters\"/>\r\n"
              "<DEVICE board=\"" + id + "\"/>\r\n",
              ReadBytes(FileOf(id.c_str(), "IsAvailable.device")));
}

// Install over the same faults: the Flags bit of the PVR files follows PvrFiles' result.
class InstallFaultTest : public PvrFaultTest {
protected:
    void SetUp() override {
        PvrFaultTest::SetUp();
        CNamedMutexHold hold(kStoreMutexName);
        StorageFlagsWrite(FLAG_PENDING_FILTERS32 | FLAG_PENDING_FILTERS64 | FLAG_PENDING_PVR);
    }
    void List(const DeviceInfo& box) {
        CCriticalSectionHold hold(devices.Lock);
        devices.Devices = {box};
    }
};

TEST_F(InstallFaultTest, LockedFilesStillCompleteThePvrBit) {
    OldFiles("10A0000D-0");
    CScopedHandle lock(CreateFileA(FileOf("10A0000D-0", "DVBTTuner.device").c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.IsValid());
    List(Box("10A0000D", {Tuner("10A0000D-0", 0)}));

    EXPECT_TRUE(devices.Install());

    EXPECT_EQ(FLAG_PENDING_FILTERS64, StoredFlags());
    lock.Reset();
    EXPECT_EQ(kOld, ReadBytes(FileOf("10A0000D-0", "DVBTTuner.device")));
}

TEST_F(InstallFaultTest, AMissingPvrSourceFolderLeavesThePvrBitPending) {
    RemoveTree(PvrFolder());
    List(Box("10A0000D", {Tuner("10A0000D-0", 0)}));
    CLogCapture log;

    EXPECT_FALSE(devices.Install());

    EXPECT_EQ(FLAG_PENDING_FILTERS64 | FLAG_PENDING_PVR, StoredFlags());
    // Once from PvrFiles for the tuner, once from Install itself.
    const std::string line = "GetPvrSourcePath 32Bit access path failed: " + PvrFolder();
    EXPECT_EQ((std::vector<std::string>{line, line}), log.Lines());
}

}  // namespace
