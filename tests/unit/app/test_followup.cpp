// Which installed copy is started after a job, how, and when nothing is started.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogCapture.h"
#include "app/Paths.h"
#include "app/Privileges.h"
#include "app/TestHooks.h"

namespace {

struct LaunchSeen {
    DWORD size;
    ULONG mask;
    std::string verb;
    std::string file;
    std::string parameters;
    std::string directory;
    int show;
};

std::vector<LaunchSeen> launches;
BOOL launchAnswer = TRUE;

BOOL WINAPI RecordLaunch(SHELLEXECUTEINFOA* record) {
    launches.push_back({record->cbSize, record->fMask, record->lpVerb ? record->lpVerb : "", record->lpFile,
                        record->lpParameters ? record->lpParameters : "", record->lpDirectory ? record->lpDirectory : "",
                        record->nShow});
    record->hProcess = nullptr;
    return launchAnswer;
}

std::string CommonFilesFolder(int csidl) {
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, csidl, nullptr, 0, folder);
    return folder;
}

std::string Environment(const char* name) {
    char value[MAX_PATH] = {};
    GetEnvironmentVariableA(name, value, MAX_PATH);
    return value;
}

// The launch only tests that the copy exists; the seam sees the rest.
void EnsureInstalledCopy(const std::string& base) {
    std::string home = base + "\\ORVA Systems\\Zentrova";
    SHCreateDirectoryExA(nullptr, home.c_str(), nullptr);
    std::string exe = home + "\\TavrixInstall.exe";
    if (GetFileAttributesA(exe.c_str()) == INVALID_FILE_ATTRIBUTES) std::ofstream(exe) << "copy";
}

class FollowUpChoice : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureInstalledCopy(Environment("CommonProgramW6432"));
        EnsureInstalledCopy(CommonFilesFolder(CSIDL_PROGRAM_FILES_COMMON));
        launches.clear();
        launchAnswer = TRUE;
        TestHooks::SetShellExecuteEx(&RecordLaunch);
        TestHooks::ResetFolders();
    }
    void TearDown() override {
        TestHooks::SetShellExecuteEx(nullptr);
        TestHooks::SetExeBitness(-1);
        TestHooks::SetSystemBitness(-1);
    }
};

}  // namespace

TEST_F(FollowUpChoice, NonAdministrator64BitStartsThe64BitCopyElevatedAndHidden) {
    StartFollowUp(false, "-i");
    ASSERT_EQ(1u, launches.size());
    const LaunchSeen& seen = launches[0];
    std::string folder = Environment("CommonProgramW6432") + "\\ORVA Systems\\Zentrova";
    EXPECT_EQ(sizeof(SHELLEXECUTEINFOA), seen.size);
    EXPECT_EQ(112u, seen.size);
    EXPECT_EQ(static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS), seen.mask);
    EXPECT_EQ("runas", seen.verb);
    EXPECT_EQ(folder + "\\TavrixInstall.exe", seen.file);
    EXPECT_EQ("-i", seen.parameters);
    EXPECT_EQ(folder, seen.directory);
    EXPECT_EQ(SW_HIDE, seen.show);
}

TEST_F(FollowUpChoice, NonAdministrator32BitStartsItsOwnHomeCopyElevated) {
    TestHooks::SetExeBitness(0);
    StartFollowUp(false, "-r");
    ASSERT_EQ(1u, launches.size());
    EXPECT_EQ("runas", launches[0].verb);
    EXPECT_EQ(CommonFilesFolder(CSIDL_PROGRAM_FILES_COMMON) + "\\ORVA Systems\\Zentrova\\TavrixInstall.exe", launches[0].file);
    EXPECT_EQ("-r", launches[0].parameters);
}

TEST_F(FollowUpChoice, Administrator32BitOn64BitSystemStartsThe64BitCopyWithTheDefaultVerb) {
    TestHooks::SetExeBitness(0);
    StartFollowUp(true, "-i");
    ASSERT_EQ(1u, launches.size());
    EXPECT_EQ("", launches[0].verb);
    EXPECT_EQ(Environment("CommonProgramW6432") + "\\ORVA Systems\\Zentrova\\TavrixInstall.exe", launches[0].file);
    EXPECT_EQ(SW_HIDE, launches[0].show);
}

TEST_F(FollowUpChoice, AdministratorsWithNothingToHandOnStartNothing) {
    StartFollowUp(true, "-i");  // 64-bit program
    TestHooks::SetExeBitness(0);
    TestHooks::SetSystemBitness(0);
    StartFollowUp(true, "-r");  // 32-bit program on a 32-bit system
    EXPECT_TRUE(launches.empty());
}

TEST_F(FollowUpChoice, RefusedElevationHoldsNothingSoTheNextLaunchProceeds) {
    launchAnswer = FALSE;
    StartFollowUp(false, "-i");
    launchAnswer = TRUE;
    StartFollowUp(false, "-i");
    EXPECT_EQ(2u, launches.size());
}

TEST_F(FollowUpChoice, MissingCopyIsLoggedWithItsFullPath) {
    CLogCapture log;
    LaunchInstaller(true, "-i", "C:\\nowhere");
    EXPECT_TRUE(launches.empty());
    ASSERT_EQ(1u, log.Lines().size());
    EXPECT_EQ("ShellExecuteEx failed! path not found: C:\\nowhere\\ORVA Systems\\Zentrova\\TavrixInstall.exe ",
              log.Lines()[0]);
}

TEST_F(FollowUpChoice, MissingCommonProgramW6432IsLoggedOnEveryUse) {
    std::string saved = Environment("CommonProgramW6432");
    _putenv_s("CommonProgramW6432", "");
    TestHooks::ResetFolders();
    CLogCapture log;
    StartFollowUp(false, "-i");
    StartFollowUp(false, "-i");
    _putenv_s("CommonProgramW6432", saved.c_str());
    TestHooks::ResetFolders();
    EXPECT_TRUE(launches.empty());
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("Error setup programFilesCommon64!", lines[0]);
    EXPECT_EQ("ShellExecuteEx failed! path not found: \\ORVA Systems\\Zentrova\\TavrixInstall.exe ", lines[1]);
    EXPECT_EQ("Error setup programFilesCommon64!", lines[2]);
}

// A real launch of a probe copy that records how it was started and keeps running.
class FollowUpLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        base_ = std::string(temp) + "tavrix_followup";
        std::string home = base_ + "\\ORVA Systems\\Zentrova";
        SHCreateDirectoryExA(nullptr, home.c_str(), nullptr);
        ASSERT_TRUE(CopyFileA(FOLLOWUP_PROBE_PATH, (home + "\\TavrixInstall.exe").c_str(), FALSE));
        probeLog_ = std::string(temp) + "tavrix_probe.log";
        DeleteFileA(probeLog_.c_str());
        SetEnvironmentVariableA("TAVRIX_PROBE_LOG", probeLog_.c_str());
        release_ = CreateEventA(nullptr, TRUE, FALSE, "TavrixProbeRelease");
    }
    void TearDown() override {
        SetEvent(release_);
        CloseHandle(release_);
    }

    std::vector<std::string> ProbeLines() {
        std::vector<std::string> lines;
        std::ifstream file(probeLog_);
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }
    bool WaitForProbeLines(size_t count) {
        for (int i = 0; i < 300; ++i) {
            if (ProbeLines().size() >= count) return true;
            Sleep(100);
        }
        return false;
    }

    std::string base_;
    std::string probeLog_;
    HANDLE release_ = nullptr;
};

TEST_F(FollowUpLaunch, StartsHiddenWithTheOptionAndRefusesASecondWhileItRuns) {
    CLogCapture log;
    LaunchInstaller(true, "-i", base_.c_str());
    ASSERT_TRUE(WaitForProbeLines(1));
    std::string line = ProbeLines()[0];
    EXPECT_NE(std::string::npos, line.find("-i|")) << line;
    EXPECT_NE(std::string::npos, line.find("|show=0|")) << line;
    EXPECT_TRUE(log.Contains("ShellExecuteEx path: " + base_ + "\\ORVA Systems\\Zentrova\\TavrixInstall.exe"));

    LaunchInstaller(true, "-i", base_.c_str());  // the first copy still runs
    Sleep(1500);
    EXPECT_EQ(1u, ProbeLines().size());

    SetEvent(release_);
    Sleep(1000);
    ResetEvent(release_);
    LaunchInstaller(false, "-r", base_.c_str());  // the first copy has ended
    ASSERT_TRUE(WaitForProbeLines(2));
    EXPECT_NE(std::string::npos, ProbeLines()[1].find("-r|"));
}
