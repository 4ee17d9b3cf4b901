// Whole-screen images through MIT-SHM: the server writes the root window's
// pixels straight into one shared segment, made once at the root's size.
// Internal to platform/windowserver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/windowserver/x_helpers.h"

struct ShmGrabber {
    uint32_t segment = 0;  // xcb_shm_seg_t
    int shmId = -1;
    uint8_t* data = nullptr;
    size_t size = 0;
};

// Grabs r (root coordinates, inside the root) into the segment, rows packed
// at r.width * 4 bytes, B, G, R, A with opaque alpha. Returns the pixels,
// valid until the next grab, or null with a diagnostic line.
uint8_t* grabRootRect(XContext& context, ShmGrabber& grabber, RootRect r);
void releaseShmGrabber(XContext& context, ShmGrabber& grabber);

// Sets the alpha byte of count 4-byte pixels: depth-24 X images leave it
// undefined.
void makeOpaque(uint8_t* pixels, size_t count);
