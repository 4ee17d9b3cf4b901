// The settings store against a real QSettings file in a private
// XDG_CONFIG_HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSettings>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/persistence.h"
#include "settings/prefs.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class PersistenceTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "prefs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A store file written byte for byte, as a user or a damaged disk might.
    void writeStore(const std::string& text) {
        fs::create_directories(fs::path(prefsStorePath()).parent_path());
        std::ofstream(prefsStorePath(), std::ios::binary) << "[General]\n" << text;
    }

    std::string dir_;
};

// Every integer field with a value inside its range and away from its default,
// so that a lost or swapped field shows.
struct IntField {
    const char* name;
    PrefInt AppPrefs::*field;
    int32_t sample;
};
const IntField kIntFields[] = {
    {"outputMode", &AppPrefs::outputMode, 2},
    {"screenOrAppMode", &AppPrefs::screenOrAppMode, 1},
    {"whichScreen", &AppPrefs::whichScreen, 2},
    {"whichApp", &AppPrefs::whichApp, 14},
    {"showMouse", &AppPrefs::showMouse, 1},
    {"bigMouse", &AppPrefs::bigMouse, 1},
    {"cropWindow", &AppPrefs::cropWindow, 1},
    {"muteSound", &AppPrefs::muteSound, 1},
    {"backgroundMode", &AppPrefs::backgroundMode, 1},
    {"scalingMode", &AppPrefs::scalingMode, 2},
    {"cropBoxWidth", &AppPrefs::cropBoxWidth, 21},
    {"cropBoxHeight", &AppPrefs::cropBoxHeight, 22},
    {"cropBoxTop", &AppPrefs::cropBoxTop, -40},  // above the main screen: negatives survive
    {"cropBoxLeft", &AppPrefs::cropBoxLeft, 24},
    {"autoRefresh", &AppPrefs::autoRefresh, 1},
    {"audioInput", &AppPrefs::audioInput, 1},
    {"allChannels", &AppPrefs::allChannels, 1},
    {"audioOutputDevice", &AppPrefs::audioOutputDevice, 28},
    {"audioInputDevice", &AppPrefs::audioInputDevice, 29},
    {"theFrameRateMode", &AppPrefs::theFrameRateMode, 1},
    {"prescaleIt", &AppPrefs::prescaleIt, 1},
    {"theBitRateMode", &AppPrefs::theBitRateMode, 6},
};

// The whole record by field name, so that a mismatch names its field.
std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> fields;
    for (const IntField& f : kIntFields) fields[f.name] = std::to_string(thePrefs.*f.field);
    fields["appName"] = thePrefs.appName;
    fields["audioInputDeviceSIOUID"] = thePrefs.audioInputDeviceSIOUID;
    return fields;
}

std::map<std::string, std::string> resetSet() {
    resetPrefs();
    return snapshot();
}

void fillPrefs() {
    for (const IntField& f : kIntFields) thePrefs.*f.field = f.sample;
    setPrefsText(thePrefs.appName, "Foo, Bar = \"x\"; #1 \\ caf\xc3\xa9 \xe6\x97\xa5");
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "alsa_input.pci-0000_00_1f.3.analog-stereo");
}

bool isValidUtf8(const char* s) { return QString::fromUtf8(s).toUtf8() == QByteArray(s); }

TEST_F(PersistenceTest, EmptyStoreGivesTheResetSetAndPrintsNothing) {
    const auto defaults = resetSet();
    fillPrefs();
    CaptureStdout();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(snapshot(), defaults);
}

TEST_F(PersistenceTest, SaveThenLoadGivesEveryPersistedFieldBack) {
    fillPrefs();
    auto saved = snapshot();
    saved["whichApp"] = "0";  // not persisted; every load starts it at 0
    savePrefs();
    ASSERT_TRUE(fs::exists(dir_ + "/NDITabrivo/NDITabrivo.conf"));
    EXPECT_EQ(
        QSettings(QString::fromStdString(prefsStorePath()), QSettings::IniFormat).allKeys().size(),
        23);

    resetPrefsKeepOutput();
    CaptureStdout();
    loadPrefs(3);
    EXPECT_EQ(GetCapturedStdout(),
              "After prefs - audioOutputDevice = 28\nAfter prefs - audioInputDevice = 29\n");
    EXPECT_EQ(snapshot(), saved);
}

TEST_F(PersistenceTest, WhichScreenIsBoundByTheScreenCount) {
    writeStore("whichScreen=2\n");
    loadPrefs(2);
    EXPECT_EQ(thePrefs.whichScreen, 0);
    loadPrefs(3);
    EXPECT_EQ(thePrefs.whichScreen, 2);
    writeStore("whichScreen=-1\n");
    loadPrefs(3);
    EXPECT_EQ(thePrefs.whichScreen, 0);
}

TEST_F(PersistenceTest, DefaultOverloadCountsQtScreens) {
    writeStore("whichScreen=1\n");
    loadPrefs();  // no application object: one screen assumed
    EXPECT_EQ(thePrefs.whichScreen, 0);

    int argc = 1;
    char name[] = "persistence_test";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);  // offscreen platform: one screen
    ASSERT_EQ(QGuiApplication::screens().size(), 1);
    loadPrefs();
    EXPECT_EQ(thePrefs.whichScreen, 0);
    writeStore("whichScreen=0\nscalingMode=2\n");
    loadPrefs();
    EXPECT_EQ(thePrefs.scalingMode, 2);
}

TEST_F(PersistenceTest, DeviceNumbersBelowOneBecomeZeroAndArePrinted) {
    writeStore("audioOutputDevice=-5\naudioInputDevice=3\n");
    CaptureStdout();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStdout(),
              "After prefs - audioOutputDevice = 0\nAfter prefs - audioInputDevice = 3\n");
    EXPECT_EQ(thePrefs.audioOutputDevice, 0);
    EXPECT_EQ(thePrefs.audioInputDevice, 3);

    writeStore("audioInputDevice=0\n");
    CaptureStdout();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStdout(), "After prefs - audioInputDevice = 0\n");
}

// A flag is on when it is non-zero, whatever the value, and every bit-rate
// setting means a rate, past the menu's items too (the sender's fallback): each
// loads as stored and is saved back as the user's.
TEST_F(PersistenceTest, FlagsAndBitRatesOfAnyValueLoadAndAreSavedBackAsStored) {
    const std::pair<const char*, PrefInt AppPrefs::*> fields[] = {
        {"showMouse", &AppPrefs::showMouse},          {"bigMouse", &AppPrefs::bigMouse},
        {"cropWindow", &AppPrefs::cropWindow},        {"muteSound", &AppPrefs::muteSound},
        {"autoRefresh", &AppPrefs::autoRefresh},      {"audioInput", &AppPrefs::audioInput},
        {"allChannels", &AppPrefs::allChannels},      {"prescaleIt", &AppPrefs::prescaleIt},
        {"theBitRateMode", &AppPrefs::theBitRateMode}};
    for (int32_t stored : {2, 7, -1, INT32_MIN}) {
        std::string text;
        for (const auto& [key, field] : fields)
            text += std::string(key) + "=" + std::to_string(stored) + "\n";
        writeStore(text);
        CaptureStderr();
        loadPrefs(1);
        EXPECT_EQ(GetCapturedStderr(), "");
        savePrefs();
        QSettings store(QString::fromStdString(prefsStorePath()), QSettings::IniFormat);
        for (const auto& [key, field] : fields) {
            EXPECT_EQ(thePrefs.*field, stored) << key;
            EXPECT_EQ(store.value(key).toInt(), stored) << key;
        }
    }
}

// Each menu's items, with the default.
struct Choices {
    const char* key;
    PrefInt AppPrefs::*field;
    int32_t last;
    int32_t defaultValue;
};
const Choices kChoices[] = {
    {"outputMode", &AppPrefs::outputMode, 2, 0},
    {"screenOrAppMode", &AppPrefs::screenOrAppMode, 1, 0},
    {"backgroundMode", &AppPrefs::backgroundMode, 2, 0},
    {"scalingMode", &AppPrefs::scalingMode, 2, 0},
    {"theFrameRateMode", &AppPrefs::theFrameRateMode, 3, 3},
};

std::string choicesAt(int32_t (*value)(const Choices&)) {
    std::string text;
    for (const Choices& c : kChoices)
        text += std::string(c.key) + "=" + std::to_string(value(c)) + "\n";
    return text;
}

// screenOrAppMode 5 would show the application radio on and capture nothing,
// so that no sender is ever made; a frame rate of 99 would leave its menu
// blank. Neither may outlive the next save.
TEST_F(PersistenceTest, ValuesNoControlOffersLoadAsDefaultsWithALineAndAreNotSavedBack) {
    writeStore(choicesAt([](const Choices& c) { return c.last; }));
    CaptureStderr();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStderr(), "") << "every last item is a value of its own";
    for (const Choices& c : kChoices) EXPECT_EQ(thePrefs.*c.field, c.last) << c.key;

    for (auto outside :
         {+[](const Choices& c) { return c.last + 1; }, +[](const Choices&) { return -1; },
          +[](const Choices& c) { return c.last * 33 + 5; }}) {
        writeStore(choicesAt(outside) + "cropBoxLeft=-2147483648\n");
        CaptureStderr();
        loadPrefs(1);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), std::size(kChoices)) << err;
        for (const Choices& c : kChoices) {
            EXPECT_NE(err.find(std::string("settings: ") + c.key + " " +
                               std::to_string(outside(c)) + " "),
                      std::string::npos)
                << err;
            EXPECT_EQ(thePrefs.*c.field, c.defaultValue) << c.key;
        }
        EXPECT_EQ(thePrefs.cropBoxLeft, INT32_MIN) << "a crop box may lie anywhere";

        savePrefs();
        QSettings store(QString::fromStdString(prefsStorePath()), QSettings::IniFormat);
        for (const Choices& c : kChoices)
            EXPECT_EQ(store.value(c.key).toInt(), c.defaultValue) << c.key;
    }
}

TEST_F(PersistenceTest, LongTextsLoadAsTheirFirst255Bytes) {
    writeStore("appName=" + std::string(300, 'a') +
               "\naudioInputDeviceSIOUID=" + std::string(299, 'b') + "\xc3\xa9\n");
    loadPrefs(1);
    EXPECT_EQ(std::string(thePrefs.appName), std::string(255, 'a'));
    EXPECT_EQ(std::string(thePrefs.audioInputDeviceSIOUID), std::string(255, 'b'));
}

TEST_F(PersistenceTest, EmptyAppNameIsSavedAsAnEmptyString) {
    resetPrefs();
    savePrefs();
    QSettings store(QString::fromStdString(prefsStorePath()), QSettings::IniFormat);
    ASSERT_TRUE(store.contains("appName"));
    EXPECT_EQ(store.value("appName").toString(), QString());
    EXPECT_TRUE(store.contains("audioInputDeviceSIOUID"));
    EXPECT_EQ(store.value("theFrameRateMode").toInt(), 3);
}

TEST_F(PersistenceTest, GarbageValuesKeepDefaultsWithOneLineEach) {
    writeStore(
        "outputMode=two\n"
        "whichScreen=99999999999999999999\n"
        "cropBoxWidth=4294967296\n"
        "cropBoxHeight=  640  \n"
        "cropBoxLeft=-2147483649\n"
        "cropBoxTop=-2147483648\n"
        "showMouse=1.5\n"
        "theBitRateMode=@Variant(\\0\\0\\0\\x7f\\xff)\n"
        "appName=\xff\xfe\x80 bad \xc3\n"
        "audioInputDeviceSIOUID=one, two\n"
        "\x01\x02 not a line at all\n"
        "muteSound\n"
        "=7\n");
    CaptureStderr();
    loadPrefs(4);
    const std::string err = GetCapturedStderr();
    for (const char* key :
         {"outputMode", "whichScreen", "cropBoxWidth", "cropBoxLeft", "showMouse"})
        EXPECT_NE(err.find(std::string("settings: ") + key + " is not a 32-bit integer"),
                  std::string::npos)
            << key;
    EXPECT_EQ(thePrefs.outputMode, 0);
    EXPECT_EQ(thePrefs.whichScreen, 0);
    EXPECT_EQ(thePrefs.cropBoxWidth, 1280);
    EXPECT_EQ(thePrefs.cropBoxHeight, 640);
    EXPECT_EQ(thePrefs.cropBoxLeft, 100);
    EXPECT_EQ(thePrefs.cropBoxTop, INT32_MIN);
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_EQ(thePrefs.theBitRateMode, 0);
    EXPECT_EQ(thePrefs.muteSound, 0);
    EXPECT_TRUE(isValidUtf8(thePrefs.appName));
    EXPECT_NE(std::string(thePrefs.appName).find("\xef\xbf\xbd bad"), std::string::npos)
        << "bytes that are not UTF-8 read as U+FFFD: " << thePrefs.appName;
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "one, two");
}

TEST_F(PersistenceTest, UnusableStoreLocationIsReportedAndKeepsDefaults) {
    // A plain file where the store's folder should be.
    std::ofstream(dir_ + "/NDITabrivo") << "not a folder";
    const auto defaults = resetSet();
    fillPrefs();
    CaptureStderr();
    savePrefs();
    EXPECT_NE(GetCapturedStderr().find("settings: cannot write"), std::string::npos);
    loadPrefs(1);
    EXPECT_EQ(snapshot(), defaults);
}

// The system's own keys, and nothing else, whatever the file held before.
void expectOnlyOwnKeys(const std::string& what) {
    QStringList keys =
        QSettings(QString::fromStdString(prefsStorePath()), QSettings::IniFormat).allKeys();
    keys.sort();
    QStringList own;
    for (const IntField& f : kIntFields)
        if (std::string(f.name) != "whichApp") own << f.name;
    own << "appName"
        << "audioInputDeviceSIOUID";
    own.sort();
    EXPECT_EQ(keys.join(' ').toStdString(), own.join(' ').toStdString()) << what;
}

// Junk of every kind gets the line and never outlives the next save: a file
// of binary garbage, lines without "=", keys that are not the program's.
TEST_F(PersistenceTest, JunkGetsOneLineAndOnlyTheOwnKeysAreSavedBack) {
    std::string garbage;
    uint32_t state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1103515245u + 12345u;
        garbage += static_cast<char>(state >> 24);
    }
    for (const std::string& junk :
         std::vector<std::string>{garbage, "muteSound\nhello world\n",
                                  "scalingMode=2\nfoo=bar\n[Other]\nscalingMode=1\n",
                                  "scalingMode=2\n\x01\x02 junk = 3\n"}) {
        writeStore(junk);
        CaptureStderr();
        loadPrefs(1);
        EXPECT_EQ(GetCapturedStderr(), "settings: " + prefsStorePath() +
                                           " has lines that are not settings; they are skipped\n")
            << junk.substr(0, 40);
        savePrefs();
        expectOnlyOwnKeys(junk.substr(0, 40));
        CaptureStderr();
        loadPrefs(1);
        EXPECT_EQ(GetCapturedStderr(), "") << "the file is clean again";
    }
    EXPECT_EQ(thePrefs.scalingMode, 2) << "settings among the junk are kept";
}

TEST_F(PersistenceTest, AMalformedFileIsReadWhereItCanAndSavedOverWithoutComplaint) {
    writeStore("cropBoxWidth=640\n\x01\x02 not a line at all\n[Broken\ntheFrameRateMode=1\n");
    CaptureStderr();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStderr(), "settings: " + prefsStorePath() +
                                       " has lines that are not settings; they are skipped\n");
    EXPECT_EQ(thePrefs.cropBoxWidth, 640);

    fillPrefs();
    const auto saved = snapshot();
    CaptureStderr();
    savePrefs();
    EXPECT_EQ(GetCapturedStderr(), "");  // the save succeeded: nothing to say
    CaptureStderr();
    loadPrefs(3);
    EXPECT_EQ(GetCapturedStderr(), "");  // the file is clean again
    auto expected = saved;
    expected["whichApp"] = "0";
    EXPECT_EQ(snapshot(), expected);
}

// Runs loadPrefs, a save and the reload of a quit in a child process, with a
// bound: a store that hangs them must not hang the test. Returns the child's
// standard error, or "hung" when it had to be killed; *same is set when the
// record after the reload was the reset set.
std::string loadSaveReloadInAChild(bool* same) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(err[1], 2);
        const auto defaults = resetSet();
        loadPrefs(1);
        fillPrefs();
        savePrefs();
        loadPrefs(1);
        std::fflush(stderr);
        _exit(snapshot() == defaults ? 0 : 3);
    }
    close(err[1]);
    int status = 0;
    bool ended = false;
    for (int waited = 0; waited < 1000 && !ended; ++waited) {
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) usleep(10'000);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    std::string text;
    char chunk[512];
    for (ssize_t n; (n = read(err[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    close(err[0]);
    *same = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ended ? text : "hung";
}

// A UNIX socket bound at path, as a program that listens there leaves it.
bool bindSocketAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

// A FIFO there would block the save in opening it, and with it the quit; a
// folder or a socket is no store either. Each stays as it was.
TEST_F(PersistenceTest, AStoreThatIsNotARegularFileIsNeitherReadNorWritten) {
    const std::string store = prefsStorePath();
    fs::create_directories(fs::path(store).parent_path());
    for (const fs::file_type type :
         {fs::file_type::fifo, fs::file_type::directory, fs::file_type::socket}) {
        fs::remove_all(store);
        if (type == fs::file_type::fifo) {
            ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
        } else if (type == fs::file_type::directory) {
            fs::create_directory(store);
        } else {
            ASSERT_TRUE(bindSocketAt(store));
        }
        bool same = false;
        EXPECT_EQ(loadSaveReloadInAChild(&same),
                  "settings: " + store +
                      " is not a regular file; settings are neither read nor saved, defaults "
                      "kept\n")
            << static_cast<int>(type);
        EXPECT_TRUE(same) << static_cast<int>(type);
        EXPECT_EQ(fs::symlink_status(store).type(), type);
    }
}

// A save in another process, holding the store's lock the way Qt's lock file
// does (an flock, and its pid, program and host on three lines) until it is
// killed. Only async-signal-safe calls run in the child.
class SaveInAnotherProcess {
  public:
    explicit SaveInAnotherProcess(const std::string& lockPath) {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
            if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) _exit(1);
            char byte = 'x';
            if (write(ready[1], &byte, 1) == 1) (void)read(hold[0], &byte, 1);
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        hold_ = hold[1];
        char byte = 0;
        locked_ = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        std::ofstream(lockPath) << pid_ << "\n"
                                << fs::read_symlink("/proc/self/exe").filename().string() << "\n"
                                << host << "\n";
    }
    ~SaveInAnotherProcess() { kill(); }
    bool locked() const { return locked_; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        close(hold_);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int hold_ = -1;
    bool locked_ = false;
};

// A lock file as a process killed before it wrote its name into it leaves it.
void leaveNamelessLock(const std::string& path) {
    std::ofstream{path};
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(1));
}

TEST_F(PersistenceTest, LeftoversOfAKilledSaveGoAtTheNextLoadButALiveSavesStay) {
    writeStore("scalingMode=2\n");
    const std::string store = prefsStorePath();
    const std::string lock = store + ".lock";
    const std::string removalLock = lock + ".rmlock";
    const std::string copy = store + ".GapPRn";  // its finished copy, not yet renamed
    const std::vector<std::string> others = {store + ".bak", store + ".GapPRnX", store + ".Gap1Rn",
                                             dir_ + "/NDITabrivo/x.conf.GapPRn"};
    for (const std::string& name : others) std::ofstream(name) << "[General]\n";
    fs::create_directory(store + ".FolDer");

    SaveInAnotherProcess saving(lock);
    ASSERT_TRUE(saving.locked());
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::minutes(1));
    std::ofstream(copy) << "[General]\nscalingMode=1\n";
    CaptureStderr();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fs::exists(lock)) << "another instance is saving, slowly";
    EXPECT_TRUE(fs::exists(copy)) << "another instance is saving, slowly";

    saving.kill();
    leaveNamelessLock(removalLock);
    CaptureStderr();
    loadPrefs(1);
    std::string err = GetCapturedStderr();
    for (const std::string& leftover : {lock, removalLock, copy}) {
        EXPECT_FALSE(fs::exists(leftover)) << leftover;
        EXPECT_NE(err.find("settings: removed " + leftover + ", "), std::string::npos) << err;
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    for (const std::string& name : others) EXPECT_TRUE(fs::exists(name)) << name;
    EXPECT_TRUE(fs::is_directory(store + ".FolDer"));
    EXPECT_EQ(thePrefs.scalingMode, 2);

    leaveNamelessLock(lock);
    CaptureStderr();
    loadPrefs(1);
    err = GetCapturedStderr();
    EXPECT_FALSE(fs::exists(lock));
    EXPECT_EQ(err, "settings: removed " + lock + ", left by a save that did not finish\n");

    // Without a lock left behind, a file named like a save's copy is the
    // user's own.
    const std::string usersOwn = store + ".backup";
    std::ofstream(usersOwn) << "[General]\n";
    CaptureStderr();
    loadPrefs(1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fs::exists(usersOwn));
}

// No file of this process can grow while it lives: the store cannot be
// written, as in a read-only folder, also for root, whom permissions do not
// stop. What goes to standard error meanwhile is kept in a pipe, which the
// limit does not touch.
class NoFileWrites {
  public:
    NoFileWrites() {
        std::fflush(stderr);
        if (pipe(errPipe_) == 0) {
            savedErr_ = dup(2);
            dup2(errPipe_[1], 2);
        }
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit none = saved_;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_FSIZE, &none);
    }
    // Lifts the limit; returns what was written to standard error meanwhile.
    std::string end() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
        std::fflush(stderr);
        dup2(savedErr_, 2);
        close(savedErr_);
        close(errPipe_[1]);
        std::string text;
        char chunk[512];
        for (ssize_t n; (n = read(errPipe_[0], chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<size_t>(n));
        close(errPipe_[0]);
        return text;
    }

  private:
    int errPipe_[2] = {-1, -1};
    int savedErr_ = -1;
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

TEST_F(PersistenceTest, AFailedSaveSaysSoAndTheReloadReadsTheFile) {
    writeStore("cropBoxWidth=640\nscalingMode=2\n");
    loadPrefs(1);
    thePrefs.cropBoxWidth = 320;
    NoFileWrites readOnly;
    savePrefs();
    std::fprintf(stderr, "--\n");
    loadPrefs(1);
    const std::string err = readOnly.end();
    EXPECT_EQ(err, "settings: cannot write " + prefsStorePath() + ", nothing saved\n--\n")
        << "nothing about reading: the file was read";
    EXPECT_EQ(thePrefs.scalingMode, 2);
    std::ifstream file(prefsStorePath());
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[General]\ncropBoxWidth=640\nscalingMode=2\n") << "the old file stays";
}

TEST_F(PersistenceTest, ChangedConfigHomeIsHonoured) {
    const auto defaults = resetSet();
    fillPrefs();
    savePrefs();
    const std::string other = dir_ + "/elsewhere";
    fs::create_directories(other);
    setenv("XDG_CONFIG_HOME", other.c_str(), 1);
    loadPrefs(3);
    EXPECT_EQ(snapshot(), defaults);

    // A relative XDG_CONFIG_HOME is not a valid base directory: HOME decides.
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);
    setenv("HOME", dir_.c_str(), 1);
    EXPECT_EQ(prefsStorePath(), dir_ + "/.config/NDITabrivo/NDITabrivo.conf");

    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    loadPrefs(3);
    EXPECT_EQ(thePrefs.whichScreen, 2);
    EXPECT_EQ(thePrefs.screenOrAppMode, 1);
}

}  // namespace
