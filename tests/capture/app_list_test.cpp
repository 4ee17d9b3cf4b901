// Building the application list from the window server's window list.
#include "capture/app_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/fake_window_server.h"

namespace {

class AppList : public ::testing::Test {
  protected:
    // A listable window: on screen, owned by a running application.
    WindowInfo& add(int32_t pid, const std::string& owner, const char* title, double height = 400,
                    int32_t layer = 0) {
        WindowInfo w;
        w.onScreen = true;
        w.ownerPid = pid;
        w.ownerIsRunningApplication = true;
        w.ownerName = owner;
        if (title != nullptr) w.title = std::string(title);
        w.bounds = FrameRect{10, 20, 500, height};
        w.layer = layer;
        w.windowNumber = nextNumber++;
        server.fake.windowList.push_back(w);
        return server.fake.windowList.back();
    }

    void build() {
        free(list);
        list = getApplicationWindowList(&count);
        ASSERT_NE(list, nullptr);
    }

    void TearDown() override { free(list); }

    ScopedFakeWindowServer server;
    uint32_t nextNumber = 1000;
    AppRecord* list = nullptr;
    int32_t count = -1;
};

TEST_F(AppList, ApplicationsInFrontToBackOrderOfTheirFirstWindow) {
    add(10, "Editor", "doc 1");
    add(20, "Browser", "page");
    add(10, "Editor", "doc 2");
    build();
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[0].ownerName, "Editor");
    EXPECT_EQ(list[0].pid, 10);
    ASSERT_EQ(list[0].windowCount, 2);
    EXPECT_STREQ(list[0].windows[0].windowName, "doc 1");
    EXPECT_STREQ(list[0].windows[1].windowName, "doc 2");
    EXPECT_EQ(list[0].windows[0].windowNumber, 1000u);
    EXPECT_EQ(list[0].windows[0].bounds.height, 400.0);
    EXPECT_STREQ(list[1].ownerName, "Browser");
    EXPECT_EQ(list[1].windowCount, 1);
    // The slots past windowCount are empty.
    EXPECT_STREQ(list[1].windows[1].windowName, "");
    EXPECT_EQ(list[1].windows[1].windowNumber, 0u);
}

TEST_F(AppList, LowWindowsAreLeftOutButThirtyPointsAreEnough) {
    add(10, "Paint", "palette", 20);
    add(10, "Paint", "canvas", 600);
    add(10, "Paint", "strip", 30.0);
    add(10, "Paint", "thinner", 29.99);
    build();
    ASSERT_EQ(count, 1);
    ASSERT_EQ(list[0].windowCount, 2);
    EXPECT_STREQ(list[0].windows[0].windowName, "canvas");
    EXPECT_STREQ(list[0].windows[1].windowName, "strip");
}

TEST_F(AppList, UntitledWindowsAreUnknown) {
    add(10, "Term", nullptr);
    build();
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(list[0].windows[0].windowName, "UNKNOWN");
}

TEST_F(AppList, OwnWindowsNeverAppearInAnyCase) {
    add(10, "NDITabrivo", "main");
    add(11, "nditabrivo", "crop");
    add(12, "NdiTaBrIvO", "other");
    add(13, "Viewer", "picture");
    build();
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(list[0].ownerName, "Viewer");
}

TEST_F(AppList, SameNameListsTheFirstProcessOnlyButCaseMakesADifference) {
    add(10, "Shell", "no windows", 10);
    add(20, "Shell", "first");
    add(30, "Shell", "second");
    add(40, "shell", "lower case");
    build();
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[0].ownerName, "Shell");
    EXPECT_EQ(list[0].pid, 20);
    ASSERT_EQ(list[0].windowCount, 1);
    EXPECT_STREQ(list[0].windows[0].windowName, "first");
    EXPECT_STREQ(list[1].ownerName, "shell");
}

TEST_F(AppList, WindowsThatFailTheLaterTestsAreRejected) {
    add(10, "A", "below", 400, -1);
    add(10, "A", "no layer").layer.reset();
    add(10, "A", "no number").windowNumber.reset();
    add(10, "A", "no bounds").bounds.reset();
    add(10, "A", "good", 400, 8);
    build();
    ASSERT_EQ(count, 1);
    ASSERT_EQ(list[0].windowCount, 1);
    EXPECT_STREQ(list[0].windows[0].windowName, "good");
    EXPECT_EQ(list[0].windows[0].layer, 8);
}

TEST_F(AppList, EntriesThatAreNotApplicationWindowsLeaveNoTrace) {
    add(1, "Off", "x").onScreen = false;
    add(2, "NoPid", "x").ownerPid.reset();
    add(3, "Gone", "x").ownerIsRunningApplication = false;
    add(4, "", "x").ownerName.reset();
    // Fifty more processes still fit: none of the above took a place.
    for (int32_t pid = 100; pid < 150; ++pid) add(pid, "App" + std::to_string(pid), "w");
    build();
    EXPECT_EQ(count, 50);
    EXPECT_STREQ(list[0].ownerName, "App100");
}

TEST_F(AppList, FiftyApplicationsAtMostEvenWhenSomeHaveNoWindows) {
    for (int32_t pid = 100; pid < 150; ++pid) add(pid, "App" + std::to_string(pid), "tiny", 5);
    add(150, "Late", "tall");
    add(100, "App100", "tall");
    build();
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(list[0].ownerName, "App100");
    EXPECT_EQ(appScratchCount, 50);
}

TEST_F(AppList, FiftyWindowsPerApplicationAtMost) {
    for (int i = 0; i < 51; ++i) add(10, "Many", ("w" + std::to_string(i)).c_str());
    build();
    ASSERT_EQ(count, 1);
    ASSERT_EQ(list[0].windowCount, 50);
    EXPECT_STREQ(list[0].windows[49].windowName, "w49");
}

TEST_F(AppList, NothingOnScreenOrNoListGivesAnEmptyList) {
    build();
    EXPECT_EQ(count, 0);
    add(10, "Editor", "doc");
    server.fake.hasWindowList = false;
    build();
    EXPECT_EQ(count, 0);
}

TEST_F(AppList, LongNamesAreCutAtACharacterBoundary) {
    std::string owner(254, 'a');
    owner += "\xC3\xA9\xC3\xA9";  // two 2-byte characters straddling the limit
    std::string title(300, 'b');
    add(10, owner, title.c_str());
    build();
    ASSERT_EQ(count, 1);
    EXPECT_EQ(strlen(list[0].ownerName), 254u);
    EXPECT_EQ(strlen(list[0].windows[0].windowName), 255u);
}

TEST_F(AppList, FindsScratchRecordsByProcessId) {
    add(10, "One", "w");
    add(20, "Two", "w");
    build();
    EXPECT_EQ(findApplicationByPID(20), 1);
    EXPECT_EQ(findApplicationByPID(10), 0);
    EXPECT_EQ(findApplicationByPID(30), -1);
}

}  // namespace
