// The tray's notification pictures and About lines, in process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tray/TrayIcon.h"
#include "tray/TrayText.h"

// The shell shows the picture it is handed at the small-icon size: a 32-pixel image would be
// shrunk and blurred. At 96 DPI that is 16 x 16.
TEST(TrayIcon, NotifyPicturesHaveTheSmallIconSize) {
    HDC screen = GetDC(nullptr);
    ASSERT_EQ(GetDeviceCaps(screen, LOGPIXELSX), 96);
    ReleaseDC(nullptr, screen);
    for (bool ready : {false, true}) {
        SCOPED_TRACE(ready ? "ready" : "not ready");
        CScopedIcon icon;
        icon.Reset(LoadNotifyIcon(GetModuleHandleA(nullptr), ready));
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon.Get(), &info));
        BITMAP image = {};
        GetObjectA(info.hbmColor, sizeof(image), &image);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        EXPECT_EQ(image.bmWidth, GetSystemMetrics(SM_CXSMICON));
        EXPECT_EQ(image.bmHeight, GetSystemMetrics(SM_CYSMICON));
        EXPECT_EQ(image.bmWidth, 16);
        EXPECT_EQ(image.bmHeight, 16);
    }
}

// The About box's lines hold 100 characters: a long translation gives way, the version stays.
struct AboutLineRow {
    std::string word;
    const char* separator;
    const char* version;
    const char* ending;
    std::string expected;
};

TEST(TrayText, AboutLineAlwaysShowsTheVersion) {
    const std::string longWord(150, 'A');
    const AboutLineRow rows[] = {
        {"Application", "\t", "1.0.0.9", "\n", "Application\tv1.0.0.9\n"},
        {"Treiber", "\t\t", "2.7.13.42", "", "Treiber\t\tv2.7.13.42"},
        {longWord, "\t", "1.0.0.9", "\n", std::string(99 - 10 - 3, 'A') + "...\tv1.0.0.9\n"},
        {longWord, "\t\t", "2.7.13.42", "", std::string(99 - 12 - 3, 'A') + "...\t\tv2.7.13.42"},
    };
    for (const AboutLineRow& row : rows) {
        SCOPED_TRACE(row.word.substr(0, 20));
        char line[100];
        FormatVersionLine(row.word.c_str(), row.separator, row.version, row.ending, line, sizeof(line));
        EXPECT_EQ(std::string(line), row.expected);
    }
}
