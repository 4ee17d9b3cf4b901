#include "platform/windowserver/shm_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One segment for the root's whole size: later grabs of any rectangle
// reuse it, so no frame allocates.
bool makeSegment(XContext& context, ShmGrabber& grabber, size_t size) {
    releaseShmGrabber(context, grabber);
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
        printf("window server: shmget of %zu bytes failed\n", size);
        return false;
    }
    void* data = shmat(id, nullptr, 0);
    if (data == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        printf("window server: shmat failed\n");
        return false;
    }
    xcb_connection_t* c = context.connection;
    uint32_t segment = xcb_generate_id(c);
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<uint32_t>(id), 0));
    // Once the server holds it, the segment can be marked for removal: it
    // then goes away with the last user, even if this process dies.
    shmctl(id, IPC_RMID, nullptr);
    if (error != nullptr) {
        free(error);
        shmdt(data);
        printf("window server: the X server cannot attach the shared segment\n");
        return false;
    }
    grabber = {segment, id, static_cast<uint8_t*>(data), size};
    return true;
}

}  // namespace

void makeOpaque(uint8_t* pixels, size_t count) {
    // Two pixels at a time: this pass runs over every captured screen.
    uint64_t* pairs = reinterpret_cast<uint64_t*>(pixels);
    const size_t pairCount = count / 2;
    for (size_t i = 0; i < pairCount; ++i) pairs[i] |= 0xFF000000FF000000ull;
    if (count % 2 != 0) pixels[count * 4 - 1] = 0xFF;
}

uint8_t* grabRootRect(XContext& context, ShmGrabber& grabber, RootRect r) {
    RootRect root = rootBounds(context);
    size_t needed = static_cast<size_t>(root.width) * static_cast<size_t>(root.height) * 4;
    if (grabber.data == nullptr || grabber.size < needed) {
        if (!makeSegment(context, grabber, needed)) return nullptr;
    }
    xcb_connection_t* c = context.connection;
    xcb_generic_error_t* error = nullptr;
    xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, context.root, static_cast<int16_t>(r.x), static_cast<int16_t>(r.y),
                          static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, grabber.segment, 0),
        &error);
    bool good = reply != nullptr && (reply->depth == 24 || reply->depth == 32);
    free(reply);
    if (error != nullptr) free(error);
    if (!good) {
        printf("window server: screen image of %dx%d at %d,%d failed\n", r.width, r.height, r.x,
               r.y);
        return nullptr;
    }
    makeOpaque(grabber.data, static_cast<size_t>(r.width) * static_cast<size_t>(r.height));
    return grabber.data;
}

void releaseShmGrabber(XContext& context, ShmGrabber& grabber) {
    if (grabber.data == nullptr) return;
    if (context.connection != nullptr) xcb_shm_detach(context.connection, grabber.segment);
    shmdt(grabber.data);
    grabber = ShmGrabber{};
}
