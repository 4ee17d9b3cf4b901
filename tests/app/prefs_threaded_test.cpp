#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "settings/prefs.h"

namespace {

TEST(PrefsThreaded, TextReaderOnAnotherThreadSeesWholeValues) {
    const std::string a(200, 'a');
    const std::string b(100, 'b');
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char copy[kPrefsTextSize];
        while (!done) {
            copyPrefsText(thePrefs.audioInputDeviceSIOUID, copy, sizeof copy);
            const std::string seen(copy);
            EXPECT_TRUE(seen.empty() || seen == a || seen == b) << seen.size();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        setPrefsText(thePrefs.audioInputDeviceSIOUID, i % 2 ? a.c_str() : b.c_str());
        thePrefs.theBitRateMode = i;
    }
    done = true;
    reader.join();
}

}  // namespace
