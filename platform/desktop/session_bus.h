// The user's session D-Bus, found but never started. libdbus, asked for a
// session bus where none is announced, "autolaunches" one through dbus-launch
// (dbus-x11): a bus daemon the user never asked for that outlives the
// program and leaves files under ~/.dbus. The program only ever uses a bus
// that is already there.
#pragma once

#include <QDBusConnection>
#include <string>

namespace platform {

// The session bus's address: DBUS_SESSION_BUS_ADDRESS, else the per-user bus
// socket $XDG_RUNTIME_DIR/bus when it exists; empty when there is neither (an
// "autolaunch:" address counts as none).
std::string sessionBusAddress();

// Makes sure nothing in the process (the toolkit included) autolaunches a
// bus: with no session bus found, DBUS_SESSION_BUS_ADDRESS is set to an
// address that libdbus refuses at once, and one line on standard error says
// that notifications and the display-sleep inhibit are off. Call first thing
// in main, before any thread exists (it changes the environment).
void neverAutolaunchSessionBus(const char* programName);

// A connection to the session bus at sessionBusAddress(), made again when the
// bus it last reached has gone; a disconnected connection when there is no
// bus, with one line on standard error the first time an announced bus
// cannot be reached. Never starts a bus. Needs the application object; main
// thread only.
QDBusConnection sessionBus();

}  // namespace platform
