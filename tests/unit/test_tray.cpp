// The text lookup and the About lines, in process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/TextLookup.h"
#include "tray/TrayText.h"

// Each text in the user's language, else in English, else the key itself, whatever the file holds.
TEST(TextLookup, FallsBackToEnglishThenToTheKey) {
    const std::wstring text = L"[de]\r\nDelete=L\u00f6schen\r\nNoTuners=\r\n[en]\r\nNoDevices=No devices found\r\n"
                              L"NoTuners=No tuners\r\n";
    std::string utf16 = "\xff\xfe" + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    std::string utf32("\xff\xfe\0\0", 4);  // a code the profile functions do not know
    for (wchar_t c : text) utf32 += std::string(reinterpret_cast<const char*>(&c), 2) + std::string(2, '\0');
    const struct { const char* language; std::string file; const char* key; const char* expected; } rows[] = {
        {"de", utf16, "Delete", "L\xf6schen"}, {"de", utf16, "NoTuners", "No tuners"},  // Latin-1's ANSI code page
        {"de", utf16, "NoDevices", "No devices found"}, {"tr", utf16, "NoDevices", "No devices found"},
        {"de", utf16, "Exit", "Exit"}, {"de", "", "Delete", "Delete"},  // no file
        {"de", utf16.substr(0, 57), "Delete", "L\xf6schen"}, {"de", utf16.substr(0, 57), "NoDevices", "NoDevices"},
        {"de", utf32, "Delete", "Delete"}, {"de", utf32, "NoDevices", "NoDevices"},
    };
    for (const auto& row : rows) {
        const auto number = &row - rows;  // a new file for each row: none cached
        std::string path = (std::filesystem::temp_directory_path() / ("lookup" + std::to_string(number))).string();
        if (!row.file.empty()) std::ofstream(path, std::ios::binary) << row.file;
        char out[100] = {};
        LookupText(row.language, path.c_str(), row.key, out, sizeof(out));
        EXPECT_EQ(std::string(out), row.expected) << "row " << number;
        DeleteFileA(path.c_str());
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
