// Bitness, folders and the PVR source folder as the 64-bit program sees them under Wine.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include <gtest/gtest.h>

#include "common/LogCapture.h"
#include "app/Paths.h"
#include "app/Privileges.h"
#include "app/TestHooks.h"

namespace {

std::string CommonFiles(int csidl) {
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, csidl, nullptr, 0, folder);
    return folder;
}

std::string PvrFolder() { return CommonFiles(CSIDL_PROGRAM_FILES_COMMON) + "\\ORVA Systems\\PVR\\Supported3\\Sources"; }

void CreateFolderTree(const std::string& path) { SHCreateDirectoryExA(nullptr, path.c_str(), nullptr); }

void RemovePvrFolder() {
    RemoveDirectoryA(PvrFolder().c_str());
    TestHooks::ResetFolders();
}

}  // namespace

TEST(Bitness, WineRunsThe64BitProgramAsAdministratorOn64BitSystem) {
    TestHooks::SetExeBitness(-1);
    TestHooks::SetSystemBitness(-1);
    EXPECT_TRUE(IsSystem64Bit());
    EXPECT_TRUE(IsExe64Bit());
    EXPECT_TRUE(IsAdmin());
    EXPECT_FALSE(IsWindowsXpFamily());
    EXPECT_STREQ("64", ExeBitsText());
}

TEST(Bitness, CachedAnswersStayUntilForgotten) {
    TestHooks::SetExeBitness(0);
    EXPECT_FALSE(IsExe64Bit());
    EXPECT_STREQ("32", ExeBitsText());
    TestHooks::SetExeBitness(-1);
    EXPECT_TRUE(IsExe64Bit());
}

TEST(Folders, ConfigurationFileLivesInThe32BitHome) {
    char path[kPathChars] = {};
    GetIniFilePath(path);
    EXPECT_EQ(CommonFiles(CSIDL_PROGRAM_FILES_COMMONX86) + "\\ORVA Systems\\Zentrova\\TavrixInstall.ini", path);
    EXPECT_NE(std::string(path).find("(x86)"), std::string::npos);
}

TEST(Folders, A32BitProgramTakesItsOwnCommonFilesForTheConfigurationFile) {
    TestHooks::SetExeBitness(0);
    char path[kPathChars] = {};
    GetIniFilePath(path);
    TestHooks::SetExeBitness(-1);
    // Under WOW64 this is the same (x86) folder; here it shows which CSIDL is asked.
    EXPECT_EQ(CommonFiles(CSIDL_PROGRAM_FILES_COMMON) + "\\ORVA Systems\\Zentrova\\TavrixInstall.ini", path);
}

TEST(Folders, PvrSourceFolderIsBelowThe64BitCommonFilesAndTestedOnEveryCall) {
    RemovePvrFolder();
    char path[kPathChars] = "untouched";
    {
        CLogCapture log;
        EXPECT_FALSE(GetPvrSourcePath(path, sizeof(path)));
        EXPECT_STREQ("untouched", path);
        ASSERT_EQ(1u, log.Lines().size());
        EXPECT_EQ("GetPvrSourcePath 64Bit access path failed: " + PvrFolder(), log.Lines()[0]);
    }
    CreateFolderTree(PvrFolder());
    {
        CLogCapture log;
        EXPECT_TRUE(GetPvrSourcePath(path, sizeof(path)));
        EXPECT_EQ(PvrFolder(), path);
        EXPECT_TRUE(log.Lines().empty());
    }
    EXPECT_EQ(std::string::npos, std::string(path).find("(x86)"));
    RemovePvrFolder();
}

TEST(Folders, PvrSourcePathCopyIsBoundedBy260WhateverTheSizeSays) {
    CreateFolderTree(PvrFolder());
    TestHooks::ResetFolders();
    char buffer[kPathChars + 16];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_TRUE(GetPvrSourcePath(buffer, 100000));
    EXPECT_EQ(PvrFolder(), buffer);
    for (size_t i = kPathChars; i < sizeof(buffer); ++i) EXPECT_EQ('x', buffer[i]);
    RemovePvrFolder();
}

TEST(Folders, Common64FolderComesFromCommonProgramW6432) {
    TestHooks::ResetFolders();
    char folder[kPathChars] = {};
    ASSERT_TRUE(GetProgramFilesCommon64(folder, kPathChars));
    char expected[kPathChars] = {};
    GetEnvironmentVariableA("CommonProgramW6432", expected, kPathChars);
    EXPECT_STREQ(expected, folder);
}
