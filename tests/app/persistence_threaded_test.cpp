// Loading and saving on the main thread while the audio thread reads the
// settings it needs: no data race, and never a half-written device id.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/persistence.h"
#include "settings/prefs.h"

namespace fs = std::filesystem;

namespace {

TEST(PersistenceThreaded, ReadersSeeWholeValuesWhileLoading) {
    std::string dir = (fs::temp_directory_path() / "prefs-threaded-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    const std::string idA(200, 'a');
    const std::string idB(200, 'b');

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread audioThread([&] {
        char id[kPrefsTextSize];
        while (!done) {
            copyPrefsText(thePrefs.audioInputDeviceSIOUID, id, sizeof id);
            const std::string seen(id);
            // Between the reset that starts a load and the key itself, the
            // field holds its default, the empty text.
            if (!seen.empty() && seen != idA && seen != idB) ++torn;
            const int32_t mode = thePrefs.theBitRateMode;
            if (mode != 0 && mode != 3 && mode != 5) ++torn;
        }
    });
    for (int i = 0; i < 40; ++i) {
        const bool even = i % 2 == 0;
        setPrefsText(thePrefs.audioInputDeviceSIOUID, (even ? idA : idB).c_str());
        thePrefs.theBitRateMode = even ? 3 : 5;
        savePrefs();
        loadPrefs(1);
    }
    done = true;
    audioThread.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(std::string(thePrefs.audioInputDeviceSIOUID), idB);
    fs::remove_all(dir);
}

}  // namespace
