#include "app/persistence.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QList>
#include <QLockFile>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "settings/prefs.h"

namespace {

// The one place that names the store: organisation folder and file name.
constexpr const char* kOrganisationName = "NDITabrivo";
constexpr const char* kApplicationName = "NDITabrivo";

// XDG base directories must be absolute; a relative XDG_CONFIG_HOME is ignored
// as the XDG base directory rules ask.
std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
    return std::string(".config");
}

// QSettings constructed on an explicit file path, so that its own cached
// idea of the configuration directory never hides a changed XDG_CONFIG_HOME.
std::unique_ptr<QSettings> openStore() {
    return std::make_unique<QSettings>(QString::fromStdString(prefsStorePath()),
                                       QSettings::IniFormat);
}

// Something other than a regular file where the store belongs (a FIFO, a
// folder, a link to a device): opening a FIFO blocks until a writer comes,
// which would hang the quit that saves, so such a path is never opened.
bool holdsSomethingElse(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

// Once per path and process: the start-up load, the saves and the quit's
// reload would otherwise each repeat it.
void reportSomethingElse(const std::string& path) {
    static std::string reported;
    if (path == reported) return;
    reported = path;
    std::fprintf(stderr,
                 "settings: %s is not a regular file; settings are neither read nor saved, "
                 "defaults kept\n",
                 path.c_str());
}

// Why the store file cannot be read; empty when it can, or when there is none
// yet (a first run, nothing to report).
std::string unreadableReason(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return errno == ENOENT ? "" : std::strerror(errno);
    if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
    return "";
}

bool isOwnKey(const QString& name) {
    for (const PrefKey& key : prefKeys())
        if (name == QLatin1String(key.key)) return true;
    return false;
}

// A line QSettings skips without a word: neither blank, a comment, a section
// nor "key=value" (binary garbage, a word on its own).
bool isNoIniLine(const QByteArray& line) {
    const QByteArray text = line.trimmed();
    return !text.isEmpty() && !text.startsWith(';') && !text.startsWith('[') && !text.contains('=');
}

// Lines that are not this program's settings: what QSettings could not parse,
// what it skips silently, and keys it made of junk or of another program.
bool hasLinesThatAreNotSettings(const QSettings& store, const std::string& path) {
    if (store.status() == QSettings::FormatError) return true;
    for (const QString& name : store.allKeys())
        if (!isOwnKey(name)) return true;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = file.readAll();
    const QByteArray bom("\xef\xbb\xbf");
    const QList<QByteArray> lines = text.mid(text.startsWith(bom) ? bom.size() : 0).split('\n');
    return std::any_of(lines.begin(), lines.end(), isNoIniLine);
}

// QSettings keeps the first problem it meets, so a format error read from the
// old file hides whether the new one was written. A save replaces the file
// (a new inode), which tells the truth either way.
struct FileIdentity {
    bool exists = false;
    ino_t inode = 0;
    timespec modified{};
};

FileIdentity identityOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {};
    return {true, info.st_ino, info.st_mtim};
}

bool replaced(const FileIdentity& before, const FileIdentity& after) {
    return after.exists && (!before.exists || before.inode != after.inode ||
                            before.modified.tv_sec != after.modified.tv_sec ||
                            before.modified.tv_nsec != after.modified.tv_nsec);
}

// Integers are kept as decimal text in the file; anything else there (a hand
// edit, a damaged file) is not guessed at.
std::optional<int32_t> readInt(const QSettings& store, const char* key) {
    if (!store.contains(key)) return std::nullopt;
    bool ok = false;
    const qlonglong value = store.value(key).toString().trimmed().toLongLong(&ok, 10);
    if (!ok || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        std::fprintf(stderr, "settings: %s is not a 32-bit integer, default kept\n", key);
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

// A display removed since the last run must not leave the capture pointing
// past the list of screens; a device number is never negative.
int32_t applyLoadRule(const PrefKey& key, int32_t value, int screenCount) {
    switch (key.loadRule) {
        case PrefLoadRule::screenIndex:
            return value < 0 || value >= screenCount ? 0 : value;
        case PrefLoadRule::deviceNumber:
            value = value < 1 ? 0 : value;
            std::printf("After prefs - %s = %d\n", key.key, static_cast<int>(value));
            return value;
        case PrefLoadRule::asStored:
            break;
    }
    return value;
}

// A value no control offers (a hand edit, a damaged file) would leave its menu
// blank or, as a source kind, capture nothing at all; it is not saved back.
bool withinRange(const PrefKey& key, int32_t value) {
    if (value >= key.minValue && value <= key.maxValue) return true;
    std::fprintf(stderr, "settings: %s %d is outside %d to %d, default %d kept\n", key.key,
                 static_cast<int>(value), static_cast<int>(key.minValue),
                 static_cast<int>(key.maxValue), static_cast<int>(key.defaultValue));
    return false;
}

void loadInt(const QSettings& store, const PrefKey& key, int screenCount) {
    const std::optional<int32_t> value = readInt(store, key.key);
    if (value && withinRange(key, *value))
        thePrefs.*key.integer = applyLoadRule(key, *value, screenCount);
}

// The INI format reads an unquoted value with commas as a list; a hand-edited
// name such as "Foo, Bar" is put back together. Bytes that are not UTF-8 come
// out as U+FFFD, so the field always holds valid UTF-8.
void loadText(const QSettings& store, const PrefKey& key) {
    if (!store.contains(key.key)) return;
    const QVariant value = store.value(key.key);
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QStringLiteral(", "))
                             : value.toString();
    setPrefsText(thePrefs.*key.text, text.toUtf8().constData());
}

void saveKey(QSettings& store, const PrefKey& key) {
    if (key.integer != nullptr) {
        store.setValue(key.key, static_cast<int>(thePrefs.*key.integer));
        return;
    }
    char text[kPrefsTextSize];
    copyPrefsText(thePrefs.*key.text, text, sizeof text);
    store.setValue(key.key, QString::fromUtf8(text));
}

// A save writes a finished copy named after the store with six random letters
// appended, then renames it over the store, all under the store's lock.
bool isCopyOfASave(const QString& name, const QString& storeName) {
    constexpr int kRandomLetters = 6;
    if (name.size() != storeName.size() + 1 + kRandomLetters) return false;
    if (!name.startsWith(storeName + QLatin1Char('.'))) return false;
    for (QChar c : name.right(kRandomLetters)) {
        const char16_t u = c.unicode();
        if ((u < u'a' || u > u'z') && (u < u'A' || u > u'Z')) return false;
    }
    return true;
}

void reportLeftover(const QString& path) {
    std::fprintf(stderr, "settings: removed %s, left by a save that did not finish\n",
                 qPrintable(path));
}

// Takes a lock that no live process holds, replacing one left by a process
// that is gone. A live holder keeps an flock on its lock, and Qt removes none
// it cannot flock, whatever its age; the age only lets go a lock whose owner
// died before writing its name into it, which a live owner does at once.
bool takeUnlessHeld(QLockFile& lock, const QString& path) {
    const bool wasThere = QFileInfo::exists(path);
    lock.setStaleLockTime(std::chrono::seconds(2));
    if (!lock.tryLock(0)) return false;
    if (wasThere) reportLeftover(path);
    return true;
}

// What a save killed midway leaves: its lock, the lock Qt takes while it
// removes a stale one, and the save's copy. While the store's lock is ours no
// save is running; and a copy lives only as long as the save's lock, so only
// beside a lock left behind is a file of that name a save's leftover, not
// one of the user's own.
void removeLeftoversOfKilledSaves(const std::string& path) {
    const QFileInfo store(QString::fromStdString(path));
    const QString lockPath = store.filePath() + QStringLiteral(".lock");
    const QString removalLockPath = lockPath + QStringLiteral(".rmlock");
    QLockFile removalLock(removalLockPath);
    if (takeUnlessHeld(removalLock, removalLockPath)) removalLock.unlock();
    if (!QFileInfo::exists(lockPath)) return;
    QLockFile lock(lockPath);
    if (!takeUnlessHeld(lock, lockPath)) return;
    QDir folder = store.dir();
    const QStringList names =
        folder.entryList({store.fileName() + QStringLiteral(".??????")},
                         QDir::Files | QDir::NoSymLinks | QDir::CaseSensitive);
    for (const QString& name : names)
        if (isCopyOfASave(name, store.fileName()) && folder.remove(name))
            reportLeftover(folder.filePath(name));
}

int qtScreenCount() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return 1;
    return static_cast<int>(QGuiApplication::screens().size());
}

}  // namespace

std::string prefsStorePath() {
    return configHome() + "/" + kOrganisationName + "/" + kApplicationName + ".conf";
}

void loadPrefs(int screenCount) {
    resetPrefs();
    const std::string path = prefsStorePath();
    removeLeftoversOfKilledSaves(path);
    if (holdsSomethingElse(path)) {
        reportSomethingElse(path);
        return;
    }
    const std::string reason = unreadableReason(path);
    if (!reason.empty()) {
        std::fprintf(stderr, "settings: cannot read %s (%s), defaults kept\n", path.c_str(),
                     reason.c_str());
        return;
    }
    auto store = openStore();
    if (hasLinesThatAreNotSettings(*store, path))
        std::fprintf(stderr, "settings: %s has lines that are not settings; they are skipped\n",
                     path.c_str());
    for (const PrefKey& key : prefKeys()) {
        if (!key.saved) continue;
        if (key.integer != nullptr) loadInt(*store, key, screenCount);
        if (key.text != nullptr) loadText(*store, key);
    }
    std::fflush(stdout);
}

void loadPrefs() { loadPrefs(qtScreenCount()); }

void savePrefs() {
    const std::string path = prefsStorePath();
    if (holdsSomethingElse(path)) {
        reportSomethingElse(path);
        return;
    }
    const FileIdentity before = identityOf(path);
    auto store = openStore();
    // Only the program's own keys are written back: junk read from a damaged
    // file, or keys of no setting, end with this save.
    store->clear();
    for (const PrefKey& key : prefKeys())
        if (key.saved) saveKey(*store, key);
    store->sync();
    if (store->status() != QSettings::NoError && !replaced(before, identityOf(path)))
        std::fprintf(stderr, "settings: cannot write %s, nothing saved\n", path.c_str());
}
