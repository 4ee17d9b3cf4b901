#include "platform/windowserver/shared_segment.h"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <cstdio>
#include <new>

uint8_t* allocateSharedBlock(size_t bytes, int& fd) {
    fd = memfd_create("nditabrivo-pixels", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
        void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data != MAP_FAILED) return static_cast<uint8_t*>(data);
    }
    if (fd >= 0) close(fd);
    fd = -1;
    return new (std::nothrow) uint8_t[bytes];
}

bool attachBlock(XContext& context, SharedSegment& segment, uint8_t* data, size_t size, int fd) {
    if (!context.hasShm || !context.shmPassesFds || fd < 0) return false;
    xcb_connection_t* c = context.connection;
    const uint32_t id = xcb_generate_id(c);
    // The library closes the descriptor it sends; the memory stays mapped.
    const int sent = dup(fd);
    if (sent < 0) return false;
    if (!requestSucceeded(context, xcb_shm_attach_fd_checked(c, id, sent, 0), "ShmAttachFd"))
        return false;
    segment = {data, size, id, true};
    return true;
}

namespace {

bool makeMappedSegment(XContext& context, SharedSegment& segment, size_t size) {
    int fd = -1;
    uint8_t* data = allocateSharedBlock(size, fd);
    if (fd < 0) {
        delete[] data;
        return false;
    }
    bool attached = attachBlock(context, segment, data, size, fd);
    close(fd);
    if (!attached) munmap(data, size);
    return attached;
}

// For servers without descriptor passing: System V shared memory.
bool makeSysVSegment(XContext& context, SharedSegment& segment, size_t size) {
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* data = shmat(id, nullptr, 0);
    if (data == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    xcb_connection_t* c = context.connection;
    const uint32_t name = xcb_generate_id(c);
    bool attached = requestSucceeded(
        context, xcb_shm_attach_checked(c, name, static_cast<uint32_t>(id), 0), "ShmAttach");
    // Once the server holds it, the segment can be marked for removal: it
    // then goes away with the last user, even if this process dies.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
        shmdt(data);
        return false;
    }
    segment = {static_cast<uint8_t*>(data), size, name, false};
    return true;
}

}  // namespace

bool ensureScratchSegment(XContext& context, SharedSegment& segment, size_t size) {
    if (segment.segment != 0 && segment.size >= size) return true;
    if (!context.hasShm) return false;
    releaseSegment(context, segment);
    if (makeMappedSegment(context, segment, size) || makeSysVSegment(context, segment, size))
        return true;
    // A remote server, or a container without shared memory: pictures come
    // over the socket from now on.
    context.hasShm = false;
    reportOnce(context, "no shm", "MIT-SHM is refused; pictures come over the socket");
    return false;
}

void releaseSegment(XContext& context, SharedSegment& segment) {
    if (segment.segment == 0) return;
    if (context.connection != nullptr) xcb_shm_detach(context.connection, segment.segment);
    if (segment.mapped) {
        munmap(segment.data, segment.size);
    } else {
        shmdt(segment.data);
    }
    segment = SharedSegment{};
}

bool readIntoSegment(XContext& context, const SharedSegment& segment, xcb_drawable_t drawable,
                     RootRect area) {
    xcb_connection_t* c = context.connection;
    xcb_shm_get_image_reply_t* reply = takeReply(
        context, xcb_shm_get_image_reply,
        xcb_shm_get_image(c, drawable, static_cast<int16_t>(area.x), static_cast<int16_t>(area.y),
                          static_cast<uint16_t>(area.width), static_cast<uint16_t>(area.height),
                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment.segment, 0),
        "ShmGetImage");
    bool good = reply != nullptr && (reply->depth == 24 || reply->depth == 32);
    free(reply);
    return good;
}

xcb_get_image_reply_t* readOverSocket(XContext& context, xcb_drawable_t drawable, RootRect area) {
    xcb_connection_t* c = context.connection;
    xcb_get_image_reply_t* reply = takeReply(
        context, xcb_get_image_reply,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<int16_t>(area.x),
                      static_cast<int16_t>(area.y), static_cast<uint16_t>(area.width),
                      static_cast<uint16_t>(area.height), ~0u),
        "GetImage");
    const size_t bytes = static_cast<size_t>(area.width) * static_cast<size_t>(area.height) * 4;
    if (reply != nullptr && ((reply->depth != 24 && reply->depth != 32) ||
                             static_cast<size_t>(xcb_get_image_data_length(reply)) < bytes)) {
        reportOnce(context, "image depth",
                   "the X server gave a picture that is not 32 bits a pixel");
        free(reply);
        return nullptr;
    }
    return reply;
}
