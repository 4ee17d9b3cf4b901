// The arrow cursor picture "mac-osx-arrow-cursor.png", built into the program.
#pragma once

extern const unsigned char kCursorPng[];
extern const unsigned int kCursorPngSize;
