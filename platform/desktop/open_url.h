// Opening a web page in the user's browser.
#pragma once

#include <QUrl>
#include <functional>

namespace platform {

// What opens a page; true when it was handed to a browser.
using UrlOpener = std::function<bool(const QUrl& url)>;

// Opens url with the installed opener (QDesktopServices by default). The
// result says whether a browser took it; callers may ignore it. Main thread
// only.
bool openUrl(const QUrl& url);

// Installs another opener (tests watch the pages asked for); an empty one
// restores QDesktopServices. Main thread only.
void setUrlOpener(UrlOpener opener);

}  // namespace platform
