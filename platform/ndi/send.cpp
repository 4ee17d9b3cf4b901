// The sending end's public calls. Sends encode each frame once and queue it
// for every receiver that wants it, then return; the I/O thread
// (connections.cpp) writes the queues.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>

#include "common/bounded_text.h"
#include "common/diagnostics.h"
#include "platform/ndi/link.h"
#include "platform/ndi/listen.h"
#include "platform/ndi/ndi.h"
#include "platform/ndi/sender.h"
#include "platform/ndi/socket.h"
#include "platform/ndi/wire.h"

namespace {

using ndisend::LinkPtr;
using ndisend::Sender;

void closeSender(Sender* sender) {
    if (sender->ioThread.joinable()) {
        sender->stopping.store(true);
        sender->wakePending.store(false);
        ndisend::wake(sender);
        sender->ioThread.join();
    }
    sender->links.clear();
    for (int fd : {sender->listenFd, sender->wakePipe[0], sender->wakePipe[1]}) {
        if (fd >= 0) close(fd);
    }
    delete sender;
}

// Builds the header of a frame about to be sent; a frame that cannot be laid
// out is refused with one line.
template <typename Frame>
bool checkedHeader(const Frame& frame,
                   bool (*headerFor)(const Frame&, ndiwire::Header*, const char**),
                   const char* kind, ndiwire::Header* header) {
    const char* error = nullptr;
    if (headerFor(frame, header, &error)) return true;
    diagnosticLine("ndi: %s frame not sent: %s", kind, error);
    return false;
}

uint32_t wantFor(uint32_t type) {
    switch (type) {
        case ndiwire::kVideo:
            return ndiwire::kWantVideo;
        case ndiwire::kAudio:
            return ndiwire::kWantAudio;
        default:
            return ndiwire::kWantMetadata;
    }
}

bool anyoneWants(Sender* sender, uint32_t want) {
    for (const LinkPtr& link : sender->links) {
        if ((link->queues.wants & want) != 0) return true;
    }
    return false;
}

const char* kindOf(uint32_t type) {
    switch (type) {
        case ndiwire::kVideo:
            return "video";
        case ndiwire::kAudio:
            return "audio";
        default:
            return "metadata";
    }
}

// The one copy of a frame that every receiver shares; null, with a line,
// when there is no memory for it: the frame is dropped and the next tries.
ndilink::MessagePtr messageFor(Sender* sender, const ndiwire::Header& header, const void* data,
                               const char* metadata, bool keyframe, long long now) {
    try {
        ndilink::MessagePtr message =
            ndilink::makeMessage(header, data, metadata, keyframe, now, ++sender->sequence);
        sender->framesLost.ended();
        return message;
    } catch (const std::exception& e) {
        sender->framesLost.write("ndi: %s frame not sent: %s", kindOf(header.type),
                                 ndiwire::failureText(e));
        return nullptr;
    }
}

// Encodes the frame once, if anyone wants it, and queues it for each receiver
// that does.
void queueFrame(Sender* sender, const ndiwire::Header& header, const void* data,
                const char* metadata, bool keyframe) {
    const uint32_t want = wantFor(header.type);
    {
        std::lock_guard guard(sender->lock);
        if (!anyoneWants(sender, want)) return;
    }
    // The copy is made outside the lock: the I/O thread keeps writing.
    const long long now = ndiwire::monotonicMs();
    const ndilink::MessagePtr message = messageFor(sender, header, data, metadata, keyframe, now);
    if (message == nullptr) return;
    {
        std::lock_guard guard(sender->lock);
        bool queued = false;
        for (const LinkPtr& link : sender->links) {
            ndilink::LinkQueues& queues = link->queues;
            if ((queues.wants & want) == 0) continue;
            if (header.type == ndiwire::kVideo) {
                queued |= ndilink::offerVideo(queues, message, now);
            } else {
                ndilink::offerOrdered(queues, message);
            }
        }
        if (queued && keyframe && ndiwire::isCompressed(header.fourCC)) {
            sender->keyframes.spend(now, header.timecode);
        }
    }
    ndisend::wake(sender);
}

ndilink::MessagePtr helloFor(const char* sourceName) {
    ndiwire::Header hello;
    ndiwire::headerForHello(sourceName, &hello);
    return ndilink::makeMessage(hello, sourceName, nullptr, false, ndiwire::monotonicMs());
}

// Callers ask again with every frame while there is no sender.
RepeatedLine creationFailures;

// Listens and starts the I/O thread; false when the port cannot be had.
// Throws when a thread or buffer cannot be made.
bool startSender(Sender* sender, const NDIlib_send_create_t* settings) {
    const char* name = settings != nullptr ? settings->p_ndi_name : nullptr;
    copyBoundedUtf8(sender->name, sizeof sender->name, name != nullptr ? name : "NDI Source");
    sender->helloMessage = helloFor(sender->name);
    sender->listenFd = ndiwire::openListener(&sender->port);
    if (sender->listenFd < 0 || pipe2(sender->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    sender->ioThread = std::thread(ndisend::serveConnections, sender);
    return true;
}

}  // namespace

NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* settings,
                                             const char* /*config: one transport only*/) {
    auto* sender = new (std::nothrow) NDIlib_send_instance_type;
    if (sender == nullptr) {
        creationFailures.write("ndi: cannot make a sender: out of memory");
        return nullptr;
    }
    bool started = false;
    try {
        started = startSender(sender, settings);
    } catch (const std::exception& e) {
        creationFailures.write("ndi: cannot make a sender: %s", ndiwire::failureText(e));
    }
    if (!started) {
        closeSender(sender);
        return nullptr;
    }
    creationFailures.ended();
    printf("NDI source \"%s\" on TCP port %d\n", sender->name, sender->port);
    fflush(stdout);
    return sender;
}

void NDIlib_send_destroy(NDIlib_send_instance_t sender) {
    if (sender != nullptr) closeSender(sender);
}

void NDIlib_send_send_video_v2(NDIlib_send_instance_t sender,
                               const NDIlib_video_frame_v2_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForVideo, "video", &header)) return;
    const bool keyframe = ndiwire::isKeyframe(frame->FourCC, frame->p_data, header.dataSize);
    queueFrame(sender, header, frame->p_data, frame->p_metadata, keyframe);
}

void NDIlib_send_send_audio_v2(NDIlib_send_instance_t sender,
                               const NDIlib_audio_frame_v2_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForAudio, "audio", &header)) return;
    queueFrame(sender, header, frame->p_data, frame->p_metadata, false);
}

void NDIlib_send_send_metadata(NDIlib_send_instance_t sender,
                               const NDIlib_metadata_frame_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    ndiwire::Header header;
    if (!checkedHeader(*frame, ndiwire::headerForMetadata, "metadata", &header)) return;
    queueFrame(sender, header, frame->p_data, nullptr, false);
}

bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t sender,
                                      const NDIlib_video_frame_v2_t* probe) {
    if (sender == nullptr || probe == nullptr) return false;
    const long long now = ndiwire::monotonicMs();
    std::lock_guard guard(sender->lock);
    if (!sender->keyframes.available(now)) return false;
    for (const LinkPtr& link : sender->links) {
        if (ndilink::wantsKeyframe(link->queues, probe->FourCC, now)) {
            sender->keyframes.grant(now);
            return true;
        }
    }
    return false;
}

int NDIlib_send_get_port(NDIlib_send_instance_t sender) {
    return sender != nullptr ? sender->port : 0;
}

int NDIlib_send_get_no_connections(NDIlib_send_instance_t sender, uint32_t timeout_in_ms) {
    if (sender == nullptr) return 0;
    const long long deadline = ndiwire::deadlineAfter(timeout_in_ms);
    std::unique_lock guard(sender->lock);
    while (sender->receivers == 0) {
        const int waitMs = ndiwire::pollTimeout(deadline);
        if (waitMs == 0) break;
        if (waitMs < 0) {
            sender->receiversChanged.wait(guard);
        } else {
            sender->receiversChanged.wait_for(guard, std::chrono::milliseconds(waitMs));
        }
    }
    return static_cast<int>(sender->receivers);
}
