// Memory that the X server and this process share (MIT-SHM): the server
// writes pictures straight into it instead of sending them over the socket.
// Internal to platform/windowserver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/windowserver/x_helpers.h"

struct SharedSegment {
    uint8_t* data = nullptr;
    size_t size = 0;
    uint32_t segment = 0;  // the server's name for it; 0 while not attached
    bool mapped = false;   // from mmap (else from shmat)
};

// A block of bytes in a memory file, or ordinary memory when there is none;
// never released. fd is the memory file, -1 for ordinary memory.
uint8_t* allocateSharedBlock(size_t bytes, int& fd);
// Hands the block behind fd to the server (MIT-SHM 1.2). False, with one
// line, when the server refuses it.
bool attachBlock(XContext& context, SharedSegment& segment, uint8_t* data, size_t size, int fd);
// A segment of at least size bytes for the server's pictures, made once and
// grown when a larger picture comes. False when the server shares no memory.
bool ensureScratchSegment(XContext& context, SharedSegment& segment, size_t size);
void releaseSegment(XContext& context, SharedSegment& segment);

// Reads area of drawable (its own coordinates) into the segment from its
// start, rows packed, 32 bits per pixel. False on an X error (reported once).
bool readIntoSegment(XContext& context, const SharedSegment& segment, xcb_drawable_t drawable,
                     RootRect area);
// Reads area of drawable over the socket; the reply holds the pixels. Null
// on an X error (reported once).
xcb_get_image_reply_t* readOverSocket(XContext& context, xcb_drawable_t drawable, RootRect area);
