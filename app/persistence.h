// The settings record's store between runs: an INI file kept with QSettings at
// $XDG_CONFIG_HOME/NDITabrivo/NDITabrivo.conf (else ~/.config/...). The
// location is worked out again on every call, so a changed XDG_CONFIG_HOME is
// honoured. Main thread only.
#pragma once

#include <string>

// Fills thePrefs from the store, starting from resetPrefs(). A whichScreen not
// below screenCount becomes 0. Missing keys keep their defaults; values that
// are not what their field holds, or lie outside their key's range, keep them
// too, with one line on standard error each. A store file that is there but
// cannot be read keeps every default, with one line; lines that are not this
// program's settings (junk, lines without "=", keys of no setting) are
// skipped, with one line for them all; no store yet is no news. A store path
// that is not a regular file (a FIFO, a folder) is never opened: one line per
// process says so, and every default stays. First it removes what a save
// killed midway left beside the store (a lock no live process holds, and the
// save's copy), with one line each.
void loadPrefs(int screenCount);
// The same, with the number of screens Qt reports (1 when there is no
// QGuiApplication yet).
void loadPrefs();

// Writes every persisted field of thePrefs, and no other key, and flushes the
// store. A save that did not reach the disk gets one line on standard error;
// the file keeps what it held. A store path that is not a regular file is
// left alone (see loadPrefs).
void savePrefs();

// Where the store lives, for diagnostics and tests.
std::string prefsStorePath();
