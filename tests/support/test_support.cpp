// Every test binary links this file: it puts the environment back after each
// test, so a test that points NDI_PORT, NDI_BIND, TMPDIR or the audio back
// end elsewhere cannot change what the tests after it see, in whatever order
// they run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::vector<std::string> environmentNow() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

class EnvironmentKeeper : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { saved_ = environmentNow(); }

    // Left alone when the test changed nothing: threads a test leaves running
    // may still read the environment.
    void OnTestEnd(const testing::TestInfo&) override {
        if (environmentNow() == saved_) return;
        clearenv();
        for (const std::string& entry : saved_) {
            const size_t equals = entry.find('=');
            setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
    }

    std::vector<std::string> saved_;
};

const bool kEnvironmentKept = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new EnvironmentKeeper);
    return true;
}();

}  // namespace
