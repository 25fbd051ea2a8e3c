// The menu's commands: Settings, Delete (with stale positions), About, Autostart, and
// identifiers that are not commands.
#include <gtest/gtest.h>

#include "TrayProbe.h"
#include "tray/Autostart.h"

namespace {

constexpr const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string OwnPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string OwnFileName() {
    std::string path = OwnPath();
    return path.substr(path.rfind('\\') + 1);
}

// The OrvaTavrix.ax test module (version 2.7.13.42) as the filter's home expects it.
std::string DriverPath(bool exe64) {
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, exe64 ? CSIDL_PROGRAM_FILES_COMMONX86 : CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, folder);
    return std::string(folder) + "\\ORVA Systems\\Zentrova\\OrvaTavrix.ax";
}

void InstallDriverFixture(bool exe64) {
    std::string target = DriverPath(exe64);
    std::string folder = target.substr(0, target.rfind('\\'));
    SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(TAVRIX_DRIVER_FIXTURE, target.c_str(), FALSE)) << TAVRIX_DRIVER_FIXTURE;
}

void RemoveDriverFixture() {
    DeleteFileA(DriverPath(true).c_str());
    DeleteFileA(DriverPath(false).c_str());
}

class TrayCommandTest : public TrayTest {
protected:
    void SetUp() override {
        TrayTest::SetUp();
        RemoveDriverFixture();
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kRunKey, OwnFileName().c_str());
        StartTrayAndSettle();
    }
    void TearDown() override {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kRunKey, OwnFileName().c_str());
        RemoveDriverFixture();
        TrayTest::TearDown();
    }

    // Three stored boxes; the middle one absent with an absent tuner, the others present.
    DeviceList ThreeBoxes() {
        DeviceInfo first = MakeDevice("10A0000D", "192.0.2.10", "Zentrova@one", true);
        first.Tuners.push_back(MakeTuner("10A0000D", 0, "T1", "", true));
        DeviceInfo second = MakeDevice("10A00012", "192.0.2.11", "Zentrova@two", false);
        second.Tuners.push_back(MakeTuner("10A00012", 0, "T2a", "", false));
        second.Tuners.push_back(MakeTuner("10A00012", 1, "T2b", "", false));
        DeviceInfo third = MakeDevice("1A2B3C46", "192.0.2.12", "Zentrova@three", false);
        third.Tuners.push_back(MakeTuner("1A2B3C46", 0, "T3", "", false));
        return {first, second, third};
    }

    void UseList(const DeviceList& list) {
        StoreList(list);
        SetList(list);
    }

    std::vector<std::string> ListedIds() {
        std::vector<std::string> ids;
        CCriticalSectionHold hold(devices_.Lock);
        for (const DeviceInfo& device : devices_.Devices) ids.push_back(device.Id);
        return ids;
    }

    static std::vector<std::string> Ids(const DeviceList& list) {
        std::vector<std::string> ids;
        for (const DeviceInfo& device : list) ids.push_back(device.Id);
        return ids;
    }

    std::vector<std::string> OpenedUrls() {
        std::lock_guard<std::mutex> hold(Recorded().mutex);
        return Recorded().openedFiles;
    }

    std::string AboutText() {
        std::lock_guard<std::mutex> hold(Recorded().mutex);
        return Recorded().aboutTexts.empty() ? "" : Recorded().aboutTexts.back();
    }
};

// --- Settings --------------------------------------------------------------

TEST_F(TrayCommandTest, SettingsOpensTheBoxRootPageWithoutAConfiguredPath) {
    UseList(ThreeBoxes());
    ClickMenu();
    probe_.OnCommand(0 * 65536 + 108);
    ASSERT_EQ(OpenedUrls(), std::vector<std::string>{"http://192.0.2.10/"});
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    EXPECT_EQ(Recorded().openedVerbs[0], "open");
    EXPECT_EQ(Recorded().openedShows[0], SW_SHOWNORMAL);
}

TEST_F(TrayCommandTest, SettingsUsesTheConfiguredPathUntranslated) {
    WriteIni("[settings]\r\nsettingsPath=/config/tuners.html\r\n[de]\r\n/config/tuners.html=/falsch\r\n");
    probe_.SetLanguage("de");
    UseList(ThreeBoxes());
    ClickMenu();
    probe_.OnCommand(108);
    EXPECT_EQ(OpenedUrls(), std::vector<std::string>{"http://192.0.2.10/config/tuners.html"});
}

TEST_F(TrayCommandTest, SettingsWithATooLongPathOpensNothing) {
    // "http://192.0.2.10" is 17 characters: 238 more fit in 255, 239 do not.
    std::string fits = "/" + std::string(237, 'p');
    WriteIni("[settings]\r\nsettingsPath=" + fits + "\r\n");
    UseList(ThreeBoxes());
    ClickMenu();
    probe_.OnCommand(108);
    ASSERT_EQ(OpenedUrls().size(), 1u);
    EXPECT_EQ(OpenedUrls()[0], "http://192.0.2.10" + fits);
    EXPECT_EQ(OpenedUrls()[0].size(), 255u);

    WriteIni("[settings]\r\nsettingsPath=" + fits + "q\r\n");
    probe_.OnCommand(108);
    EXPECT_EQ(OpenedUrls().size(), 1u) << "a cut URL would open another page";

    WriteIni("[settings]\r\nsettingsPath=/" + std::string(600, 'z') + "\r\n");
    probe_.OnCommand(108);
    EXPECT_EQ(OpenedUrls().size(), 1u);
}

// --- Delete ----------------------------------------------------------------

TEST_F(TrayCommandTest, DeleteBoxAtIndexOneOfThree) {
    UseList(ThreeBoxes());
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_EQ(rows[5].text, "Zentrova@two");
    ASSERT_EQ(rows[5].sub[1].id, 0x10068u);
    probe_.OnCommand(rows[5].sub[1].id);
    EXPECT_EQ(ListedIds(), (std::vector<std::string>{"10A0000D", "1A2B3C46"}));
    EXPECT_EQ(Ids(StoredList()), (std::vector<std::string>{"10A0000D", "1A2B3C46"}));
    // The box formerly at index 2 is now at index 1.
    rows = ClickMenu();
    EXPECT_EQ(rows[5].text, "Zentrova@three");
    EXPECT_EQ(rows[5].sub[1].id, 0x10068u);
    // Without administrator rights an elevated copy removes what is gone.
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    ASSERT_EQ(Recorded().launchParameters.size(), 1u);
    EXPECT_EQ(Recorded().launchParameters[0], "-r");
    EXPECT_EQ(Recorded().launchVerbs[0], "runas");
}

TEST_F(TrayCommandTest, DeleteTunerRemovesOnlyThatTuner) {
    UseList(ThreeBoxes());
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_EQ(rows[7].text, "  2: T2b");
    ASSERT_EQ(rows[7].sub[0].id, 0x10167u);
    probe_.OnCommand(0x10167);
    DeviceList stored = StoredList();
    ASSERT_EQ(stored.size(), 3u);
    ASSERT_EQ(stored[1].Tuners.size(), 1u);
    EXPECT_STREQ(stored[1].Tuners[0].Id, "10A00012-0");
    TunerInfo tuner;
    EXPECT_FALSE(devices_.GetTuner(1, 1, tuner));
    ASSERT_TRUE(devices_.GetTuner(1, 0, tuner));
    EXPECT_STREQ(tuner.Id, "10A00012-0");
    EXPECT_EQ(Recorded().LaunchCount(), 1u);
}

TEST_F(TrayCommandTest, AStaleDeleteDoesNothing) {
    UseList(ThreeBoxes());
    ClickMenu();
    // The list changed after the menu was built: box 0 is gone, so position 1 is now "three".
    DeviceList shifted = ThreeBoxes();
    shifted.erase(shifted.begin());
    UseList(shifted);
    probe_.OnCommand(0x10068);
    probe_.OnCommand(0x10167);
    EXPECT_EQ(ListedIds(), (std::vector<std::string>{"10A00012", "1A2B3C46"}));
    EXPECT_EQ(Ids(StoredList()), (std::vector<std::string>{"10A00012", "1A2B3C46"}));
    EXPECT_EQ(Recorded().LaunchCount(), 0u);
}

TEST_F(TrayCommandTest, ADeleteOfABoxThatCameBackDoesNothing) {
    UseList(ThreeBoxes());
    ClickMenu();
    {
        CCriticalSectionHold hold(devices_.Lock);
        devices_.Devices[1].Modified |= ModifiedDevicePresent;
        devices_.Devices[1].Tuners[1].Modified |= ModifiedTunerPresent;
    }
    probe_.OnCommand(0x10068);
    probe_.OnCommand(0x10167);
    EXPECT_EQ(ListedIds().size(), 3u);
    EXPECT_EQ(devices_.TunerCount(1), 2);
    EXPECT_EQ(Recorded().LaunchCount(), 0u);
}

TEST_F(TrayCommandTest, ADeleteOfABoxNoLongerListedDoesNothing) {
    UseList(ThreeBoxes());
    ClickMenu();
    UseList({});
    probe_.OnCommand(0x20068);
    probe_.OnCommand(0x10167);
    probe_.OnCommand(0x6C);
    EXPECT_TRUE(ListedIds().empty());
    EXPECT_EQ(Recorded().LaunchCount(), 0u);
    EXPECT_TRUE(OpenedUrls().empty());
}

TEST_F(TrayCommandTest, IdentifiersTheMenuDidNotOfferDoNothing) {
    UseList(ThreeBoxes());
    ClickMenu();
    // A Delete for the present box 0 and a Settings for the absent box 1 were never offered.
    probe_.OnCommand(0x00068);
    probe_.OnCommand(0x1006C);
    probe_.OnCommand(0x00067);
    EXPECT_EQ(ListedIds().size(), 3u);
    EXPECT_TRUE(OpenedUrls().empty());
    EXPECT_EQ(Recorded().LaunchCount(), 0u);
}

TEST_F(TrayCommandTest, CommandsOutside101To108AreIgnored) {
    UseList(ThreeBoxes());
    ClickMenu();
    for (WPARAM identifier : {WPARAM(0), WPARAM(100), WPARAM(106), WPARAM(109), WPARAM(0x10064), WPARAM(0x1006A),
                              WPARAM(0xFF), WPARAM(0x1FF)}) {
        EXPECT_EQ(probe_.OnCommand(identifier), 0);
    }
    DrainMessages();
    EXPECT_TRUE(probe_.Running());
    EXPECT_EQ(ListedIds().size(), 3u);
    EXPECT_TRUE(Recorded().aboutTexts.empty());
    EXPECT_TRUE(OpenedUrls().empty());
    EXPECT_FALSE(UpdateAutostart(false));
}

// --- Autostart -------------------------------------------------------------

TEST_F(TrayCommandTest, AutostartCommandWritesAndRemovesTheRunValue) {
    probe_.OnCommand(102);
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(TestRegistry::Query(HKEY_CURRENT_USER, kRunKey, OwnFileName().c_str(), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, OwnPath() + std::string(1, '\0')) << "the full path with its terminating zero, no quotes";
    EXPECT_EQ(ClickMenu()[4].state, static_cast<UINT>(MFS_CHECKED));

    probe_.OnCommand(102);
    EXPECT_FALSE(TestRegistry::Query(HKEY_CURRENT_USER, kRunKey, OwnFileName().c_str(), type, data));
    EXPECT_EQ(ClickMenu()[4].state, 0u);
}

TEST_F(TrayCommandTest, AutostartCountsOnlyWellFormedStringsAsOn) {
    std::string name = OwnFileName();
    DWORD number = 1;
    TestRegistry::SetRaw(HKEY_CURRENT_USER, kRunKey, name.c_str(), REG_DWORD, &number, sizeof(number));
    EXPECT_FALSE(UpdateAutostart(false));
    EXPECT_TRUE(UpdateAutostart(true)) << "a DWORD is replaced by the path";
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(TestRegistry::Query(HKEY_CURRENT_USER, kRunKey, name.c_str(), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    TestRegistry::SetString(HKEY_CURRENT_USER, kRunKey, name.c_str(), "C:\\elsewhere\\other.exe");
    EXPECT_TRUE(UpdateAutostart(false)) << "another path still counts as on";
    EXPECT_FALSE(UpdateAutostart(true));
    EXPECT_FALSE(TestRegistry::Query(HKEY_CURRENT_USER, kRunKey, name.c_str(), type, data));

    TestRegistry::SetString(HKEY_CURRENT_USER, kRunKey, name.c_str(), "%ProgramFiles%\\x.exe", REG_EXPAND_SZ);
    EXPECT_TRUE(UpdateAutostart(false));

    TestRegistry::SetRaw(HKEY_CURRENT_USER, kRunKey, name.c_str(), REG_SZ, "", 0);
    EXPECT_TRUE(UpdateAutostart(false)) << "empty data";

    // The byte after the data is not zero, so the registry does not add a terminator.
    TestRegistry::SetRaw(HKEY_CURRENT_USER, kRunKey, name.c_str(), REG_SZ, "abcd", 3);
    EXPECT_FALSE(UpdateAutostart(false)) << "no terminating zero";

    std::string longPath(300, 'L');
    TestRegistry::SetString(HKEY_CURRENT_USER, kRunKey, name.c_str(), longPath);
    EXPECT_FALSE(UpdateAutostart(false)) << "longer than 260 bytes";
    EXPECT_TRUE(UpdateAutostart(true));
    ASSERT_TRUE(TestRegistry::Query(HKEY_CURRENT_USER, kRunKey, name.c_str(), type, data));
    EXPECT_EQ(data, OwnPath() + std::string(1, '\0'));

    // Another program's entry is not ours.
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kRunKey, name.c_str());
    TestRegistry::SetString(HKEY_CURRENT_USER, kRunKey, "TavrixInstall.exe", "C:\\x\\TavrixInstall.exe");
    EXPECT_FALSE(UpdateAutostart(false));
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kRunKey, "TavrixInstall.exe");
}

// --- About -----------------------------------------------------------------

TEST_F(TrayCommandTest, AboutShowsTheProgramAndDriverVersions) {
    InstallDriverFixture(true);
    probe_.OnCommand(101);
    EXPECT_EQ(AboutText(),
              "Zentrova 2T\n\nApplication\tv3.4.5.6\n\nDriver\t\tv2.7.13.42\n\n"
              "Copyright (C) 2026 ORVA Systems. All rights reserved.");
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    EXPECT_EQ(Recorded().aboutCaptions.back(), "Zentrova (64 Bit)");
    EXPECT_EQ(Recorded().aboutTypes.back(), static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(Recorded().aboutOwners.back(), probe_.Window());
}

TEST_F(TrayCommandTest, AboutWithoutTheDriverModuleSaysItIsNotInstalled) {
    WriteIni("[de]\r\nDriver=Treiber\r\nnot installed=nicht installiert\r\nApplication=Anwendung\r\n");
    probe_.SetLanguage("de");
    probe_.ShowAbout();
    EXPECT_EQ(AboutText(),
              "Zentrova 2T\n\nAnwendung\tv3.4.5.6\n\nTreiber\t\tnicht installiert\n\n"
              "Copyright (C) 2026 ORVA Systems. All rights reserved.");
    RemoveIni();
    probe_.ShowAbout();
    EXPECT_NE(AboutText().find("\nDriver\t\tnot installed\n"), std::string::npos);
}

TEST_F(TrayCommandTest, GetDriverVersionLooksInTheFolderOfTheBitness) {
    char text[260] = "untouched";
    EXPECT_FALSE(probe_.GetDriverVersion(text));
    EXPECT_STREQ(text, "untouched");

    // The 64-bit program reads the module of the 32-bit home; the 32-bit program its own folder.
    InstallDriverFixture(false);
    EXPECT_FALSE(probe_.GetDriverVersion(text)) << "a 64-bit program does not look in the 64-bit folder";
    TestHooks::SetExeBitness(0);
    EXPECT_TRUE(probe_.GetDriverVersion(text));
    EXPECT_STREQ(text, "2.7.13.42");
    TestHooks::SetExeBitness(-1);

    InstallDriverFixture(true);
    strcpy_s(text, sizeof(text), "untouched");
    EXPECT_TRUE(probe_.GetDriverVersion(text));
    EXPECT_STREQ(text, "2.7.13.42");
}

TEST_F(TrayCommandTest, AModuleWithoutVersionResourceCountsAsMissing) {
    std::string target = DriverPath(true);
    std::string folder = target.substr(0, target.rfind('\\'));
    SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr);
    FILE* file = nullptr;
    ASSERT_EQ(fopen_s(&file, target.c_str(), "wb"), 0);
    fputs("not a module", file);
    fclose(file);
    char text[260] = "untouched";
    EXPECT_FALSE(probe_.GetDriverVersion(text));
    EXPECT_STREQ(text, "untouched");
    probe_.ShowAbout();
    EXPECT_NE(AboutText().find("Driver\t\tnot installed"), std::string::npos);
}

TEST_F(TrayCommandTest, LongTranslationsAreCutInsideTheirLines) {
    InstallDriverFixture(true);
    std::string longWord(99, 'A');
    WriteIni("[en]\r\nApplication=" + longWord + "\r\nDriver=" + std::string(99, 'D') + "\r\n");
    probe_.ShowAbout();
    std::string text = AboutText();
    // Each line holds 99 characters at most; the rest of the box is whole.
    EXPECT_EQ(text.substr(0, 13), "Zentrova 2T\n\n");
    EXPECT_NE(text.find(std::string(99, 'A') + "\n"), std::string::npos);
    EXPECT_EQ(text.find(std::string(99, 'A') + "\t"), std::string::npos);
    EXPECT_NE(text.find("\n" + std::string(99, 'D') + "\n\nCopyright"), std::string::npos);
    EXPECT_LT(text.size(), 1000u);
}

TEST_F(TrayCommandTest, SeveralAboutBoxesMayBeRequested) {
    probe_.OnCommand(101);
    probe_.OnCommand(101);
    EXPECT_EQ(Recorded().aboutTexts.size(), 2u);
    EXPECT_EQ(ClickMenu().size(), 8u) << "the menu still works";
}

}  // namespace
