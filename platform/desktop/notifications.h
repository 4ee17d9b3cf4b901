// Desktop notifications through org.freedesktop.Notifications on the session
// D-Bus.
#pragma once

// Hands one notification, with the desktop's default message sound, to the
// session bus's notification service without waiting for it. Returns false,
// quietly, when there is no application object or no session bus (none is
// ever started for it); whether a notification service is there to show it
// is not waited for.
bool postDesktopNotification(const char* title, const char* body);
