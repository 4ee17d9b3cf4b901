// Shared set-up for the main window tests: a Qt application on the offscreen
// platform, a private settings folder, a fake window server with two
// displays, and a controller whose audio start and stop are recorded.
// Include "ui_MainWindow.h" in the test source itself, so that the test
// target makes its own copy from the window description.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/view_controller.h"
#include "audio/audio.h"
#include "capture/app_list.h"
#include "capture/crop_window.h"
#include "common/bounded_text.h"
#include "settings/prefs.h"
#include "tests/support/fake_window_server.h"

// Fontconfig keeps its caches until the process ends, which LeakSanitizer
// reports as leaks at exit; they are the font library's, not ours. (Each test
// executable includes this header from its one source file.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace mainwindowtest {

inline QApplication& application() {
    static int argc = 1;
    static char name[] = "NDITabrivo";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop until done() holds or timeoutMs pass; returns done().
template <typename Done>
bool processEventsUntil(Done done, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A settings folder of the test's own, removed afterwards.
class TempConfigHome {
  public:
    TempConfigHome() {
        char pattern[] = "/tmp/nditabrivo-ui-XXXXXX";
        const char* made = mkdtemp(pattern);
        path = made ? made : "";
        setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    }
    ~TempConfigHome() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string path;
};

// Audio start and stop as they happen, with the time of each.
struct AudioEvent {
    bool start;
    std::chrono::steady_clock::time_point when;
    std::string device;  // the saved device id at the time
};

class RecordingController : public ViewController {
  public:
    std::vector<AudioEvent> audioEvents;
    void start() override { record(true); }
    void stop() override { record(false); }
    void record(bool start) {
        audioEvents.push_back(
            {start, std::chrono::steady_clock::now(), thePrefs.audioInputDeviceSIOUID});
    }
    int starts() const {
        int n = 0;
        for (const AudioEvent& e : audioEvents) n += e.start ? 1 : 0;
        return n;
    }
};

// One on-screen window of a running application, as the window list gives it.
inline WindowInfo appWindow(int32_t pid, const std::string& owner, uint32_t number) {
    WindowInfo w;
    w.onScreen = true;
    w.ownerPid = pid;
    w.ownerIsRunningApplication = true;
    w.ownerName = owner;
    w.title = owner + " window";
    w.bounds = FrameRect{10.0, 20.0, 640.0, 480.0};
    w.layer = 0;
    w.windowNumber = number;
    return w;
}

// Two 1920 x 1080 displays, the second below the first.
inline void twoDisplays(FakeWindowServer& fake) {
    fake.screenList = {ScreenInfo{FrameRect{0.0, 0.0, 1920.0, 1080.0}},
                       ScreenInfo{FrameRect{0.0, -1080.0, 1920.0, 1080.0}}};
}

// An input device table of the test's own in place of the listed devices.
class InputDeviceTable {
  public:
    struct Device {
        std::string name;
        std::string id;
    };
    explicit InputDeviceTable(std::vector<Device> devices) {
        savedTable = theInputDevices;
        savedCount = theInputDeviceCount;
        for (size_t i = 0; i < devices.size() && i < kMaxInputDevices; ++i) {
            copyBoundedUtf8(records[i].name, sizeof records[i].name, devices[i].name.c_str());
            copyBoundedUtf8(records[i].id, sizeof records[i].id, devices[i].id.c_str());
        }
        theInputDevices = records;
        theInputDeviceCount = static_cast<int32_t>(devices.size());
    }
    ~InputDeviceTable() {
        theInputDevices = savedTable;
        theInputDeviceCount = savedCount;
    }
    InputDeviceRecord records[kMaxInputDevices] = {};

  private:
    InputDeviceRecord* savedTable;
    int32_t savedCount;
};

}  // namespace mainwindowtest
