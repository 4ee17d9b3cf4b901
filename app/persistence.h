// The settings record's store between runs: an INI file kept with QSettings at
// $XDG_CONFIG_HOME/NDITabrivo/NDITabrivo.conf (else ~/.config/...). The
// location is worked out again on every call, so a changed XDG_CONFIG_HOME is
// honoured. Main thread only.
#pragma once

#include <string>

// Fills thePrefs from the store, starting from resetPrefs(). A whichScreen not
// below screenCount (or negative) becomes 0. Missing keys keep their defaults;
// unreadable values keep them too, with one line on standard error.
void loadPrefs(int screenCount);
// The same, with the number of screens Qt reports (1 when there is no
// QGuiApplication yet).
void loadPrefs();

// Writes every persisted field of thePrefs and flushes the store. A store that
// cannot be written gets one line on standard error.
void savePrefs();

// Where the store lives, for diagnostics and tests.
std::string prefsStorePath();
