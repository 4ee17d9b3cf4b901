// Small services beside the capture: wall-clock milliseconds, the
// computer's name and synthetic mouse input.
#pragma once

#include <cstddef>
#include <cstdint>

// Position of the last synthetic move, top-left global points; 0 at launch.
extern float lastMouseX;
extern float lastMouseY;

// Milliseconds since the Unix epoch (microseconds truncated).
int64_t getTimeInMilliseconds();

// The computer's user-visible name as UTF-8, cut at a character boundary to
// fit size bytes with its NUL; the empty string when there is none.
void getLocalHostName(char* buffer, size_t size);

// Moves the pointer to (x, y) given as fractions of a fixed 1920 x 1200 area.
void postMouseMoveEvent(float x, float y);
// Presses (down non-zero) or releases button 0 (left), 1 (right) or 2
// (middle) at the last synthetic position; other buttons post nothing.
void postMouseButtonEvent(int32_t button, int32_t down);
