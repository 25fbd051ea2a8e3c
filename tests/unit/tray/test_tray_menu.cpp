// The popup menu as the user sees it: rows, texts, states, identifiers and submenus.
#include <gtest/gtest.h>

#include "TrayProbe.h"
#include "tray/Autostart.h"

namespace {

constexpr UINT kGreyed = MFS_GRAYED;
constexpr UINT kDefaultGreyed = MFS_DEFAULT | MFS_GRAYED;

class TrayMenuTest : public TrayTest {
protected:
    void SetUp() override {
        TrayTest::SetUp();
        StartTrayAndSettle();
        // The autostart row must start unchecked whatever an earlier test left.
        if (UpdateAutostart(false)) UpdateAutostart(true);
    }
    void TearDown() override {
        if (UpdateAutostart(false)) UpdateAutostart(true);
        TrayTest::TearDown();
    }

    static DeviceList TwoBoxes() {
        DeviceInfo present = MakeDevice("10A0000D", "192.0.2.10", "Zentrova@livingroom", true);
        present.Tuners.push_back(MakeTuner("10A0000D", 0, "Tuner A", "Unknown", true));
        present.Tuners.push_back(MakeTuner("10A0000D", 1, "Tuner B", "192.0.2.77", true));
        DeviceInfo absent = MakeDevice("10A00012", "192.0.2.11", "Zentrova@attic", false);
        absent.Tuners.push_back(MakeTuner("10A00012", 0, "Tuner C", "", false));
        absent.Tuners.push_back(MakeTuner("10A00012", 1, "Tuner D", "den-pc", false, "2040:5200:ofdm"));
        absent.Tuners.push_back(MakeTuner("10A00012", 2, "Tuner E", "", true));
        return {present, absent};
    }
};

void ExpectRow(const MenuRow& row, const std::string& text, UINT id, UINT state) {
    EXPECT_FALSE(IsSeparator(row)) << text;
    EXPECT_EQ(row.text, text);
    EXPECT_EQ(row.id, id) << text;
    EXPECT_EQ(row.state, state) << text;
}

void ExpectTail(const std::vector<MenuRow>& rows, size_t from, const char* refresh, UINT refreshState,
                UINT autostartState) {
    ASSERT_EQ(rows.size(), from + 6);
    EXPECT_TRUE(IsSeparator(rows[from]));
    ExpectRow(rows[from + 1], refresh, 107, refreshState);
    ExpectRow(rows[from + 2], "Autostart", 102, autostartState);
    EXPECT_TRUE(IsSeparator(rows[from + 3]));
    ExpectRow(rows[from + 4], "About", 101, 0);
    ExpectRow(rows[from + 5], "Exit", 105, 0);
}

TEST_F(TrayMenuTest, NoBoxesGiveTheShortMenu) {
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_EQ(rows.size(), 8u);
    ExpectRow(rows[0], "Zentrova (64 Bit)", 0, kDefaultGreyed);
    EXPECT_FALSE(rows[0].hasSubMenu);
    ExpectRow(rows[1], "NoDevices", 0, kGreyed);
    ExpectTail(rows, 2, "Refresh", 0, 0);
}

TEST_F(TrayMenuTest, TwoBoxesOnePresentOneAbsent) {
    SetList(TwoBoxes());
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_EQ(rows.size(), 16u);
    ExpectRow(rows[0], "Zentrova (64 Bit)", 0, kDefaultGreyed);
    EXPECT_TRUE(IsSeparator(rows[1]));

    // Present box: address (greyed) and Settings, never Delete.
    EXPECT_EQ(rows[2].text, "Zentrova@livingroom");
    ASSERT_TRUE(rows[2].hasSubMenu);
    ASSERT_EQ(rows[2].sub.size(), 2u);
    ExpectRow(rows[2].sub[0], "192.0.2.10", 0, kGreyed);
    ExpectRow(rows[2].sub[1], "Settings", 108, 0);
    // Present tuners: plain enabled rows without identifier; "Unknown" owner translated (here: the key).
    ExpectRow(rows[3], "  1: Tuner A (Unknown)", 0, 0);
    EXPECT_FALSE(rows[3].hasSubMenu);
    ExpectRow(rows[4], "  2: Tuner B (192.0.2.77)", 0, 0);

    EXPECT_TRUE(IsSeparator(rows[5]));
    // Absent box at index 1: Delete with identifier 1 * 65536 + 104, never Settings.
    EXPECT_EQ(rows[6].text, "Zentrova@attic");
    ASSERT_EQ(rows[6].sub.size(), 2u);
    ExpectRow(rows[6].sub[0], "192.0.2.11", 0, kGreyed);
    ExpectRow(rows[6].sub[1], "Delete", 0x10068, 0);
    // Absent tuner without owner: no parentheses, a Delete submenu with box 1, tuner 0.
    EXPECT_EQ(rows[7].text, "  1: Tuner C");
    ASSERT_TRUE(rows[7].hasSubMenu);
    ASSERT_EQ(rows[7].sub.size(), 1u);
    ExpectRow(rows[7].sub[0], "Delete", 0x10067, 0);
    // Absent tuner of the fixed model: greyed, no Delete.
    ExpectRow(rows[8], "  2: Tuner D (den-pc)", 0, kGreyed);
    EXPECT_FALSE(rows[8].hasSubMenu);
    // A present tuner of an absent box is still a plain row.
    ExpectRow(rows[9], "  3: Tuner E", 0, 0);
    ExpectTail(rows, 10, "Refresh", 0, 0);
}

TEST_F(TrayMenuTest, IdentifiersCarryBoxAndTunerPositions) {
    DeviceList list;
    for (int box = 0; box < 3; ++box) {
        char id[kIdChars];
        sprintf_s(id, sizeof(id), "1A2B3C4%d", box);
        DeviceInfo device = MakeDevice(id, "192.0.2.20", id, false);
        for (int tuner = 0; tuner < 3; ++tuner) device.Tuners.push_back(MakeTuner(id, tuner, "T", "", false));
        list.push_back(device);
    }
    SetList(list);
    std::vector<MenuRow> rows = ClickMenu();
    // Box 2, tuner 2: the last tuner row of the last box.
    const MenuRow& lastTuner = rows[rows.size() - 7];
    ASSERT_EQ(lastTuner.sub.size(), 1u);
    EXPECT_EQ(lastTuner.sub[0].id, 2u * 65536 + 2u * 256 + 103);
    EXPECT_EQ(rows[rows.size() - 10].sub[1].id, 2u * 65536 + 104);
}

TEST_F(TrayMenuTest, BoxWithoutTunersShowsNoTuners) {
    SetList({MakeDevice("10A0000D", "192.0.2.10", "Zentrova@empty", true)});
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[2].text, "Zentrova@empty");
    ExpectRow(rows[3], "NoTuners", 0, kGreyed);
    ExpectTail(rows, 4, "Refresh", 0, 0);
}

TEST_F(TrayMenuTest, AutostartRowIsCheckedWhenTheEntryIsOn) {
    UpdateAutostart(true);
    std::vector<MenuRow> rows = ClickMenu();
    ExpectTail(rows, 2, "Refresh", 0, MFS_CHECKED);
}

TEST_F(TrayMenuTest, LeftAndRightPressOpenTheMenuOtherNotificationsDoNothing) {
    EXPECT_EQ(ClickMenu(WM_LBUTTONDOWN).size(), 8u);
    EXPECT_EQ(ClickMenu(WM_RBUTTONDOWN).size(), 8u);
    // Only the low 32 bits count.
    EXPECT_EQ(ClickMenu(static_cast<LPARAM>(0x700000000LL | WM_RBUTTONDOWN)).size(), 8u);
    for (UINT other : std::initializer_list<UINT>{WM_MOUSEMOVE, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_RBUTTONDBLCLK, WM_MBUTTONDOWN,
                       WM_MBUTTONUP, WM_CONTEXTMENU, 0x400u}) {
        EXPECT_TRUE(ClickMenu(other).empty()) << "mouse notification " << other;
    }
    EXPECT_EQ(Recorded().menus.size(), 3u);
}

TEST_F(TrayMenuTest, TheWindowProcedureRoutesTheCallbackMessageToTheMenu) {
    SendMessageA(probe_.Window(), probe_.CallbackMessage(), 1, WM_LBUTTONDOWN);
    SendMessageA(probe_.Window(), probe_.CallbackMessage(), 1, WM_LBUTTONUP);
    DrainMessages();
    EXPECT_EQ(Recorded().menus.size(), 1u);
}

TEST_F(TrayMenuTest, TextsComeFromTheUserLanguageThenEnglishThenTheKey) {
    WriteIni(
        "[de]\r\nNoDevices=Keine Geraete\r\nRefresh=Aktualisieren\r\nUnknown=Unbekannt\r\n"
        "Zentrova (64 Bit)=Zentrova 64\r\nZentrova@attic=Dachboden\r\n"
        "[en]\r\nNoDevices=No boxes\r\nAbout=About Zentrova\r\nExit=Quit\r\n");
    probe_.SetLanguage("de");
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].text, "Zentrova 64");
    EXPECT_EQ(rows[1].text, "Keine Geraete");
    EXPECT_EQ(rows[3].text, "Aktualisieren");
    EXPECT_EQ(rows[4].text, "Autostart");  // in no section: the key
    EXPECT_EQ(rows[6].text, "About Zentrova");  // from "en"
    EXPECT_EQ(rows[7].text, "Quit");

    DeviceList list = TwoBoxes();
    SetList(list);
    rows = ClickMenu();
    EXPECT_EQ(rows[3].text, "  1: Tuner A (Unbekannt)");
    EXPECT_EQ(rows[6].text, "Dachboden");  // a box name is a key like any other

    probe_.SetLanguage("fr");
    rows = ClickMenu();
    EXPECT_EQ(rows[3].text, "  1: Tuner A (Unknown)");
    EXPECT_EQ(rows[rows.size() - 1].text, "Quit");
}

TEST_F(TrayMenuTest, WithoutAConfigurationFileEveryItemShowsItsKey) {
    RemoveIni();
    probe_.SetLanguage("de");
    std::vector<MenuRow> rows = ClickMenu();
    EXPECT_EQ(rows[1].text, "NoDevices");
    EXPECT_EQ(rows[3].text, "Refresh");
    EXPECT_EQ(rows[6].text, "About");
    EXPECT_EQ(rows[7].text, "Exit");
}

TEST_F(TrayMenuTest, RefreshRowIsGreyedWhileARefreshRuns) {
    Search().Block();
    ResetSearchEvents();
    SendMessageA(probe_.Window(), WM_COMMAND, 107, 0);
    ASSERT_EQ(WaitForSingleObject(Search().entered.Get(), 5000), WAIT_OBJECT_0);
    std::vector<MenuRow> rows = ClickMenu();
    ExpectTail(rows, 2, "RefreshRunning", kGreyed, 0);
    Search().Release();
    ASSERT_EQ(WaitForSingleObject(Search().finished.Get(), 5000), WAIT_OBJECT_0);
    WaitUntilIdle();
    rows = ClickMenu();
    ExpectTail(rows, 2, "Refresh", 0, 0);
}

TEST_F(TrayMenuTest, LongTunerLabelsAreCutWithAnEllipsis) {
    DeviceInfo device = MakeDevice("10A0000D", "192.0.2.10", "Zentrova@long", true);
    std::string name(79, 'N');
    std::string owner(79, 'o');
    device.Tuners.push_back(MakeTuner("10A0000D", 0, name.c_str(), owner.c_str(), true));
    device.Tuners.push_back(MakeTuner("10A0000D", 1, name.substr(0, 60).c_str(), "", false));
    // Exactly 79 characters: "  2: " and 74 characters, kept whole.
    device.Tuners.push_back(MakeTuner("10A0000D", 2, std::string(74, 'x').c_str(), "", true));
    SetList({device});
    std::vector<MenuRow> rows = ClickMenu();
    std::string expected = "  1: " + std::string(79 - 5 - 3, 'N') + "...";
    ASSERT_EQ(expected.size(), 79u);
    EXPECT_EQ(rows[3].text, expected);
    EXPECT_EQ(rows[4].text, "  2: " + name.substr(0, 60));
    ASSERT_EQ(rows[4].sub.size(), 1u);
    EXPECT_EQ(rows[4].sub[0].text, "Delete");
    EXPECT_EQ(rows[5].text, "  3: " + std::string(74, 'x'));
}

TEST_F(TrayMenuTest, RecordsWithoutTerminatorsStayInsideTheirFields) {
    DeviceInfo device = MakeDevice("10A0000D", "192.0.2.10", "x", true);
    memset(device.Name, 'B', sizeof(device.Name));
    memset(device.Ip, '9', sizeof(device.Ip));
    TunerInfo tuner = MakeTuner("10A0000D", 0, "", "", true);
    memset(tuner.Name, 'T', sizeof(tuner.Name));
    memset(tuner.Owner, 'O', sizeof(tuner.Owner));
    device.Tuners.push_back(tuner);
    SetList({device});
    std::vector<MenuRow> rows = ClickMenu();
    EXPECT_EQ(rows[2].text, std::string(79, 'B'));
    EXPECT_EQ(rows[2].sub[0].text, std::string(19, '9'));
    EXPECT_EQ(rows[3].text.size(), 79u);
    EXPECT_EQ(rows[3].text.substr(0, 9), "  1: TTTT");
    EXPECT_EQ(rows[3].text.substr(76), "...");
}

TEST_F(TrayMenuTest, TheListChangingWhileTheMenuIsShownDoesNotReachTheMenu) {
    SetList(TwoBoxes());
    // The refresh thread may take Lock at any moment while the menu is open: it must be free.
    Recorded().duringMenu = [this] {
        DWORD result = WAIT_TIMEOUT;
        std::thread other([this, &result] {
            if (TryEnterCriticalSection(&devices_.Lock)) {
                devices_.Devices.clear();
                LeaveCriticalSection(&devices_.Lock);
                result = WAIT_OBJECT_0;
            }
        });
        other.join();
        EXPECT_EQ(result, static_cast<DWORD>(WAIT_OBJECT_0)) << "Lock held while the menu is shown";
    };
    std::vector<MenuRow> rows = ClickMenu();
    EXPECT_EQ(rows.size(), 16u);
    Recorded().duringMenu = nullptr;
    EXPECT_EQ(ClickMenu().size(), 8u);
}

}  // namespace
