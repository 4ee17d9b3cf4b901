// The OpenGL read-back self-test on the machine's renderer (Mesa's software
// renderer in CI).
#include "capture/gl_readback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(GLReadback, PrintsSixReadsOfOpaqueRed) {
    testing::internal::CaptureStdout();
    const int result = testGLReadback();
    const std::string output = testing::internal::GetCapturedStdout();
    if (result == -1) GTEST_SKIP() << "no OpenGL here: " << output;
    ASSERT_EQ(result, 0) << output;

    const std::vector<std::string> printed = lines(output);
    ASSERT_GE(printed.size(), 6u) << output;
    const char* labels[] = {"glReadPixels GL_YCBCR_422_APPLE tex fbo ",
                            "glGetTexImage GL_YCBCR_422_APPLE tex fbo ",
                            "glReadPixels GL_BGRA tex fbo ",
                            "glGetTexImage GL_BGRA tex fbo ",
                            "glReadPixels GL_YCBCR_422_APPLE renderbuffer fbo ",
                            "glReadPixels GL_BGRA renderbuffer fbo "};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(printed[i].rfind(labels[i], 0), 0u) << printed[i];

    // Blue, green, red, alpha in memory.
    for (int i : {2, 3, 5}) EXPECT_TRUE(endsWith(printed[i], " 0 0 ff ff")) << printed[i];

    // A renderer that refuses the YCbCr layout leaves the zeroed bytes and a
    // pending error; one that takes it has nothing to report.
    bool refused = false;
    for (int i : {0, 1, 4}) refused = refused || endsWith(printed[i], " 0 0 0 0");
    if (refused) {
        ASSERT_EQ(printed.size(), 7u) << output;
        EXPECT_EQ(printed[6].rfind("glGetError ", 0), 0u);
        EXPECT_NE(printed[6], "glGetError 0");
    } else {
        EXPECT_EQ(printed.size(), 6u) << output;
    }
}

// libglvnd reads its vendors once a process, so a read-back made earlier in
// this one would find them still loaded: the case runs in a fresh process.
TEST(GLReadback, WithoutAnEGLVendorSaysSoAndFailsSoftly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // libglvnd then finds no EGL implementation at all.
            setenv("__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent/egl_vendor.json", 1);
            setenv("__EGL_VENDOR_LIBRARY_DIRS", "/nonexistent", 1);
            testing::internal::CaptureStdout();
            const int result = testGLReadback();
            const std::string output = testing::internal::GetCapturedStdout();
            const std::vector<std::string> printed = lines(output);
            const bool soft =
                result == -1 && printed.size() == 1 && printed[0].rfind("testGLReadback: ", 0) == 0;
            fprintf(stderr, "%s: result %d, printed \"%s\"\n", soft ? "soft" : "not soft", result,
                    output.c_str());
            exit(soft ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^soft: ");
}

}  // namespace
