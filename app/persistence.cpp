#include "app/persistence.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    auto store =
        std::make_unique<QSettings>(QString::fromStdString(prefsStorePath()), QSettings::IniFormat);
    if (store->status() != QSettings::NoError) return nullptr;
    return store;
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

void loadInt(const QSettings& store, const char* key, PrefInt& field) {
    if (auto value = readInt(store, key)) field = *value;
}

// A display removed since the last run must not leave the capture pointing
// past the list of screens.
void loadScreenIndex(const QSettings& store, int screenCount) {
    auto value = readInt(store, "whichScreen");
    if (!value) return;
    thePrefs.whichScreen = *value;
    if (thePrefs.whichScreen < 0 || thePrefs.whichScreen >= screenCount) thePrefs.whichScreen = 0;
}

void loadDeviceNumber(const QSettings& store, const char* key, PrefInt& field) {
    auto value = readInt(store, key);
    if (!value) return;
    field = *value < 1 ? 0 : *value;
    std::printf("After prefs - %s = %d\n", key, static_cast<int>(field));
}

// The INI format reads an unquoted value with commas as a list; a hand-edited
// name such as "Foo, Bar" is put back together. Bytes that are not UTF-8 come
// out as U+FFFD, so the field always holds valid UTF-8.
void loadText(const QSettings& store, const char* key, char (&field)[kPrefsTextSize]) {
    if (!store.contains(key)) return;
    const QVariant value = store.value(key);
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QStringLiteral(", "))
                             : value.toString();
    setPrefsText(field, text.toUtf8().constData());
}

void saveInt(QSettings& store, const char* key, const PrefInt& field) {
    store.setValue(key, static_cast<int>(field));
}

void saveText(QSettings& store, const char* key, const char (&field)[kPrefsTextSize]) {
    char text[kPrefsTextSize];
    copyPrefsText(field, text, sizeof text);
    store.setValue(key, QString::fromUtf8(text));
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
    auto store = openStore();
    if (!store) store = openStore();
    if (!store) {
        std::fprintf(stderr, "settings: cannot read %s, defaults kept\n", prefsStorePath().c_str());
        return;
    }
    loadInt(*store, "outputMode", thePrefs.outputMode);
    loadInt(*store, "screenOrAppMode", thePrefs.screenOrAppMode);
    loadScreenIndex(*store, screenCount);
    loadInt(*store, "showMouse", thePrefs.showMouse);
    loadInt(*store, "bigMouse", thePrefs.bigMouse);
    loadInt(*store, "cropWindow", thePrefs.cropWindow);
    loadInt(*store, "prescaleIt", thePrefs.prescaleIt);
    loadInt(*store, "muteSound", thePrefs.muteSound);
    loadInt(*store, "audioInput", thePrefs.audioInput);
    loadInt(*store, "autoRefresh", thePrefs.autoRefresh);
    loadInt(*store, "allChannels", thePrefs.allChannels);
    loadDeviceNumber(*store, "audioOutputDevice", thePrefs.audioOutputDevice);
    loadDeviceNumber(*store, "audioInputDevice", thePrefs.audioInputDevice);
    loadText(*store, "audioInputDeviceSIOUID", thePrefs.audioInputDeviceSIOUID);
    loadInt(*store, "cropBoxWidth", thePrefs.cropBoxWidth);
    loadInt(*store, "cropBoxHeight", thePrefs.cropBoxHeight);
    loadInt(*store, "cropBoxTop", thePrefs.cropBoxTop);
    loadInt(*store, "cropBoxLeft", thePrefs.cropBoxLeft);
    loadInt(*store, "backgroundMode", thePrefs.backgroundMode);
    loadInt(*store, "scalingMode", thePrefs.scalingMode);
    loadInt(*store, "theFrameRateMode", thePrefs.theFrameRateMode);
    loadText(*store, "appName", thePrefs.appName);
    loadInt(*store, "theBitRateMode", thePrefs.theBitRateMode);
    std::fflush(stdout);
}

void loadPrefs() { loadPrefs(qtScreenCount()); }

void savePrefs() {
    auto store = openStore();
    if (!store) {
        std::fprintf(stderr, "settings: cannot open %s, nothing saved\n", prefsStorePath().c_str());
        return;
    }
    saveInt(*store, "outputMode", thePrefs.outputMode);
    saveInt(*store, "screenOrAppMode", thePrefs.screenOrAppMode);
    saveInt(*store, "whichScreen", thePrefs.whichScreen);
    saveInt(*store, "showMouse", thePrefs.showMouse);
    saveInt(*store, "bigMouse", thePrefs.bigMouse);
    saveInt(*store, "cropWindow", thePrefs.cropWindow);
    saveInt(*store, "backgroundMode", thePrefs.backgroundMode);
    saveInt(*store, "scalingMode", thePrefs.scalingMode);
    saveInt(*store, "theFrameRateMode", thePrefs.theFrameRateMode);
    saveInt(*store, "theBitRateMode", thePrefs.theBitRateMode);
    saveInt(*store, "muteSound", thePrefs.muteSound);
    saveInt(*store, "autoRefresh", thePrefs.autoRefresh);
    saveInt(*store, "allChannels", thePrefs.allChannels);
    saveInt(*store, "audioInput", thePrefs.audioInput);
    saveInt(*store, "audioInputDevice", thePrefs.audioInputDevice);
    saveInt(*store, "audioOutputDevice", thePrefs.audioOutputDevice);
    saveInt(*store, "prescaleIt", thePrefs.prescaleIt);
    saveInt(*store, "cropBoxWidth", thePrefs.cropBoxWidth);
    saveInt(*store, "cropBoxHeight", thePrefs.cropBoxHeight);
    saveInt(*store, "cropBoxTop", thePrefs.cropBoxTop);
    saveInt(*store, "cropBoxLeft", thePrefs.cropBoxLeft);
    saveText(*store, "appName", thePrefs.appName);
    saveText(*store, "audioInputDeviceSIOUID", thePrefs.audioInputDeviceSIOUID);
    store->sync();
    if (store->status() != QSettings::NoError)
        std::fprintf(stderr, "settings: cannot write %s\n", prefsStorePath().c_str());
}
