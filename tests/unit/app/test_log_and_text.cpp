// The diagnostic log and the translated-text lookup.
#include <windows.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/LogCapture.h"
#include "app/Log.h"
#include "app/Paths.h"
#include "app/TextLookup.h"

TEST(Log, EveryMessageIsOneLineEndedByCarriageReturnLineFeed) {
    CLogCapture log;
    LogMessage("Register %sBit KSCATEGORY_BDA_NETWORK_TUNER failed! 0x%08x", "64", 0x80004005u);
    LogMessage("ends in its own line feed\n");
    EXPECT_EQ("Register 64Bit KSCATEGORY_BDA_NETWORK_TUNER failed! 0x80004005\r\nends in its own line feed\n\r\n",
              log.Text());
}

TEST(Log, TextLongerThan1024CharactersIsCut) {
    CLogCapture log;
    std::string longText(3000, 'a');
    LogMessage("%s", longText.c_str());
    std::string text = log.Text();
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
    std::string line = text.substr(0, text.size() - 2);
    EXPECT_EQ(1023u, line.size());
    EXPECT_EQ(std::string::npos, line.find_first_not_of('a'));
}

TEST(Log, TraceEmitsNothing) {
    CLogCapture log;
    TraceMessage("%s: %d devices", "CDevices::UpdateDevices", 3);
    EXPECT_TRUE(log.Text().empty());
}

class TextLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        char path[MAX_PATH];
        GetTempPathA(MAX_PATH, path);
        iniPath_ = std::string(path) + "tavrix_text_lookup.ini";
        std::ofstream ini(iniPath_, std::ios::binary | std::ios::trunc);
        ini << "[de]\r\nRefresh=Aktualisieren\r\nAbout=\r\n"
            << "[en]\r\nRefresh=Refresh now\r\nAbout=About Zentrova\r\nExit=Quit\r\n";
    }
    void TearDown() override { DeleteFileA(iniPath_.c_str()); }

    std::string Lookup(const char* language, const char* key) {
        char text[kTextChars];
        LookupText(language, iniPath_.c_str(), key, text, kTextChars);
        return text;
    }

    std::string iniPath_;
};

TEST_F(TextLookupTest, LanguageSectionFirstThenEnglishThenTheKeyItself) {
    EXPECT_EQ("Aktualisieren", Lookup("de", "Refresh"));
    EXPECT_EQ("Quit", Lookup("de", "Exit"));
    EXPECT_EQ("NoDevices", Lookup("de", "NoDevices"));
    EXPECT_EQ("Refresh now", Lookup("fr", "Refresh"));
}

TEST_F(TextLookupTest, EmptyValueInTheLanguageSectionFallsBack) {
    EXPECT_EQ("About Zentrova", Lookup("de", "About"));
}

TEST_F(TextLookupTest, MissingFileShowsTheKey) {
    char text[kTextChars];
    LookupText("de", "C:\\no\\such\\file.ini", "Settings", text, kTextChars);
    EXPECT_STREQ("Settings", text);
}

TEST_F(TextLookupTest, LongKeyIsCutToTheBuffer) {
    std::string key(300, 'k');
    char text[kTextChars + 8];
    memset(text, 'x', sizeof(text));
    LookupText("de", iniPath_.c_str(), key.c_str(), text, kTextChars);
    EXPECT_EQ(kTextChars - 1, strlen(text));
    EXPECT_EQ('x', text[kTextChars]);
}

TEST(TextLookup, UserLanguageIsATwoLetterCode) {
    char language[10] = {};
    GetUserLanguage(language, sizeof(language));
    EXPECT_EQ(2u, strlen(language));
}
