#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "settings/prefs.h"

namespace {

// Counts a reader's reads and lets the writer wait until one has happened, so
// that a test proves its threads overlapped instead of hoping they did.
class ReadCount {
  public:
    void counted() {
        if (reads_.fetch_add(1) != 0) return;
        std::lock_guard lock(mutex_);
        firstRead_.notify_all();
    }
    // Bounded only so that a reader that never reads fails instead of hanging.
    bool waitForFirst() {
        std::unique_lock lock(mutex_);
        return firstRead_.wait_for(lock, std::chrono::seconds(60), [this] { return reads_ > 0; });
    }
    int reads() const { return reads_; }

  private:
    std::atomic<int> reads_{0};
    std::mutex mutex_;
    std::condition_variable firstRead_;
};

TEST(PrefsThreaded, TextReaderOnAnotherThreadSeesWholeValues) {
    const std::string a(200, 'a');
    const std::string b(100, 'b');
    std::atomic<bool> done{false};
    ReadCount count;
    std::thread reader([&] {
        char copy[kPrefsTextSize];
        while (!done) {
            copyPrefsText(thePrefs.audioInputDeviceSIOUID, copy, sizeof copy);
            const std::string seen(copy);
            EXPECT_TRUE(seen.empty() || seen == a || seen == b) << seen.size();
            count.counted();
        }
    });
    const auto write = [&](int i) {
        setPrefsText(thePrefs.audioInputDeviceSIOUID, i % 2 ? a.c_str() : b.c_str());
        thePrefs.theBitRateMode = i;
    };
    for (int i = 0; i < 1000; ++i) write(i);
    const bool readWhileWriting = count.waitForFirst();
    for (int i = 1000; i < 2000; ++i) write(i);
    done = true;
    reader.join();
    EXPECT_TRUE(readWhileWriting);
    EXPECT_GT(count.reads(), 0);
}

}  // namespace
