#include "settings/prefs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class PrefsTest : public ::testing::Test {
  protected:
    void SetUp() override { resetPrefs(); }
};

// The record as it stands before main runs, taken while this file's globals
// are made: no test can have touched it yet, whatever order the tests run in.
struct ProcessStartPrefs {
    int32_t frameRateMode = thePrefs.theFrameRateMode;
    int32_t cropBox[4] = {thePrefs.cropBoxWidth, thePrefs.cropBoxHeight, thePrefs.cropBoxTop,
                          thePrefs.cropBoxLeft};
    std::string appName = thePrefs.appName;
    std::string deviceId = thePrefs.audioInputDeviceSIOUID;
};
const ProcessStartPrefs atProcessStart;

TEST(PrefsBeforeLoad, StartsZeroFilled) {
    EXPECT_EQ(atProcessStart.frameRateMode, 0) << "not 3: nothing is loaded yet";
    for (int32_t side : atProcessStart.cropBox) EXPECT_EQ(side, 0);
    EXPECT_EQ(atProcessStart.appName, "");
    EXPECT_EQ(atProcessStart.deviceId, "");
}

TEST_F(PrefsTest, ResetGivesDefaultSet) {
    thePrefs.whichApp = 4;
    thePrefs.showMouse = 1;
    setPrefsText(thePrefs.appName, "Terminal");
    resetPrefs();
    EXPECT_STREQ(thePrefs.appName, "");
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "");
    EXPECT_EQ(thePrefs.cropBoxWidth, 1280);
    EXPECT_EQ(thePrefs.cropBoxHeight, 720);
    EXPECT_EQ(thePrefs.cropBoxLeft, 100);
    EXPECT_EQ(thePrefs.cropBoxTop, 100);
    EXPECT_EQ(thePrefs.theFrameRateMode, 3);
    EXPECT_EQ(thePrefs.whichApp, 0);
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_EQ(thePrefs.audioInput, 0);
}

TEST_F(PrefsTest, AudioOnSetTurnsAudioOn) {
    thePrefs.allChannels = 1;
    resetPrefsAudioOn();
    EXPECT_EQ(thePrefs.audioInput, 1);
    EXPECT_EQ(thePrefs.allChannels, 0);
    EXPECT_EQ(thePrefs.cropBoxLeft, 100);
}

TEST_F(PrefsTest, KeepOutputKeepsOutputAndScaling) {
    thePrefs.outputMode = 2;
    thePrefs.scalingMode = 1;
    thePrefs.showMouse = 1;
    resetPrefsKeepOutput();
    EXPECT_EQ(thePrefs.outputMode, 2);
    EXPECT_EQ(thePrefs.scalingMode, 1);
    EXPECT_EQ(thePrefs.audioInput, 1);
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_EQ(thePrefs.cropBoxWidth, 1280);
    EXPECT_EQ(thePrefs.cropBoxHeight, 720);
    EXPECT_EQ(thePrefs.cropBoxLeft, 0);
    EXPECT_EQ(thePrefs.cropBoxTop, 0);
    EXPECT_EQ(thePrefs.theFrameRateMode, 3);
}

TEST_F(PrefsTest, LongTextIsCutTo255BytesAndTheNextFieldIsUntouched) {
    thePrefs.audioInput = 0x5a5a5a5a;
    const std::string longName(300, 'x');
    setPrefsText(thePrefs.appName, longName.c_str());
    EXPECT_EQ(strlen(thePrefs.appName), 255u);
    EXPECT_EQ(thePrefs.appName[255], '\0');
    EXPECT_EQ(thePrefs.audioInput, 0x5a5a5a5a);

    setPrefsText(thePrefs.audioInputDeviceSIOUID, longName.c_str());
    EXPECT_EQ(strlen(thePrefs.audioInputDeviceSIOUID), 255u);
}

TEST_F(PrefsTest, CutNeverSplitsAUtf8Character) {
    // 254 ASCII bytes then a two-byte character: byte 255 would be its first
    // half, so the character is left out whole.
    std::string name(254, 'a');
    name += "\xC3\xA9tail";
    setPrefsText(thePrefs.appName, name.c_str());
    EXPECT_EQ(strlen(thePrefs.appName), 254u);

    // A character that ends exactly at byte 255 stays.
    std::string fits(253, 'a');
    fits += "\xC3\xA9tail";
    setPrefsText(thePrefs.appName, fits.c_str());
    EXPECT_EQ(strlen(thePrefs.appName), 255u);
    EXPECT_EQ(std::string(thePrefs.appName).substr(253), "\xC3\xA9");
}

}  // namespace
