// Bounded labels and URLs.
#include <gtest/gtest.h>

#include <string>

#include "TrayProbe.h"
#include "tray/TrayText.h"

namespace {

TEST(TrayTextTest, FitTextKeepsWhatFitsAndMarksWhatIsCut) {
    char out[8];
    EXPECT_FALSE(FitText(out, sizeof(out), "1234567"));
    EXPECT_STREQ(out, "1234567");
    EXPECT_TRUE(FitText(out, sizeof(out), "12345678"));
    EXPECT_STREQ(out, "1234...");
    char tiny[3];
    EXPECT_TRUE(FitText(tiny, sizeof(tiny), "abcdef"));
    EXPECT_EQ(strlen(tiny), 2u);
}

TEST(TrayTextTest, TunerLabels) {
    char label[80];
    TunerInfo tuner = MakeTuner("10A0000D", 1, "Living room", "", true);
    FormatTunerLabel(tuner, "Unbekannt", label, sizeof(label));
    EXPECT_STREQ(label, "  2: Living room");
    strcpy_s(tuner.Owner, sizeof(tuner.Owner), "Unknown");
    FormatTunerLabel(tuner, "Unbekannt", label, sizeof(label));
    EXPECT_STREQ(label, "  2: Living room (Unbekannt)");
    strcpy_s(tuner.Owner, sizeof(tuner.Owner), "unknown");
    FormatTunerLabel(tuner, "Unbekannt", label, sizeof(label));
    EXPECT_STREQ(label, "  2: Living room (unknown)") << "only the exact word is translated";
    strcpy_s(tuner.Owner, sizeof(tuner.Owner), std::string(79, 'o').c_str());
    FormatTunerLabel(tuner, "Unbekannt", label, sizeof(label));
    EXPECT_EQ(strlen(label), 79u);
    EXPECT_EQ(std::string(label).substr(0, 19), "  2: Living room (o");
    EXPECT_EQ(std::string(label).substr(76), "...");
}

TEST(TrayTextTest, SettingsUrls) {
    char url[256];
    EXPECT_TRUE(FormatSettingsUrl("192.0.2.10", "/", url, sizeof(url)));
    EXPECT_STREQ(url, "http://192.0.2.10/");
    EXPECT_TRUE(FormatSettingsUrl("192.0.2.10", "", url, sizeof(url)));
    EXPECT_STREQ(url, "http://192.0.2.10");
    std::string path(300, 'p');
    EXPECT_FALSE(FormatSettingsUrl("192.0.2.10", path.c_str(), url, sizeof(url)));
    EXPECT_STREQ(url, "");
}

}  // namespace
