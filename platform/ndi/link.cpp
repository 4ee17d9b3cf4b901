#include "platform/ndi/link.h"

#include <cstring>
#include <new>

namespace ndilink {

MessagePtr makeMessage(const ndiwire::Header& header, const void* data, const char* metadata,
                       bool keyframe, long long nowMs, uint64_t sequence) {
    auto message = std::make_shared<Message>();
    message->madeMs = nowMs;
    message->sequence = sequence;
    message->size = ndiwire::kHeaderSize + header.dataSize + header.metadataSize;
    message->bytes = std::make_unique_for_overwrite<uint8_t[]>(message->size);
    message->type = header.type;
    message->fourCC = header.type == ndiwire::kVideo ? header.fourCC : 0;
    message->keyframe = keyframe;
    uint8_t* at = message->bytes.get();
    ndiwire::encodeHeader(header, at);
    at += ndiwire::kHeaderSize;
    if (header.dataSize > 0) memcpy(at, data, header.dataSize);
    if (header.metadataSize > 0) memcpy(at + header.dataSize, metadata, header.metadataSize);
    return message;
}

namespace {

// The state of fourCC, taking a free slot for a new one; null when the table
// is full (such FourCCs then go out unchecked rather than never).
StreamState* streamOf(LinkQueues& link, uint32_t fourCC) {
    for (StreamState& stream : link.streams) {
        if (stream.fourCC == fourCC) return &stream;
    }
    for (StreamState& stream : link.streams) {
        if (stream.fourCC == 0) {
            stream.fourCC = fourCC;
            stream.askFromMs = link.greetedMs;
            return &stream;
        }
    }
    return nullptr;
}

bool videoQueueFull(const LinkQueues& link, size_t adding) {
    if (link.video.empty()) return false;
    return link.video.size() >= kVideoQueueFrames || link.videoBytes + adding > kVideoQueueBytes;
}

// Drops the queued video (never the message being written: no half frames),
// and every FourCC that lost a frame waits for its next keyframe.
void fallBehind(LinkQueues& link, long long nowMs) {
    for (const MessagePtr& lost : link.video) {
        StreamState* stream = streamOf(link, lost->fourCC);
        if (stream == nullptr || !stream->synced) continue;
        stream->synced = false;
        stream->lagging = true;
        stream->askFromMs = nowMs + kLaggardKeyframeDelayMs;
    }
    link.video.clear();
    link.videoBytes = 0;
}

// False, with nothing changed, when there is no memory for one more entry.
bool push(std::deque<MessagePtr>& queue, size_t& bytes, LinkQueues& link,
          const MessagePtr& message) {
    try {
        queue.push_back(message);
    } catch (const std::bad_alloc&) {
        return false;
    }
    bytes += message->size;
    link.drained = false;
    return true;
}

}  // namespace

bool offerVideo(LinkQueues& link, const MessagePtr& message, long long nowMs) {
    StreamState* stream = streamOf(link, message->fourCC);
    if (videoQueueFull(link, message->size)) fallBehind(link, nowMs);
    if (stream != nullptr && !stream->synced && !message->keyframe) return false;
    if (!push(link.video, link.videoBytes, link, message)) {
        // A picture it cannot have breaks what follows as much as one it was
        // too slow for: it starts again at a keyframe.
        fallBehind(link, nowMs);
        if (stream != nullptr && stream->synced) {
            stream->synced = false;
            stream->lagging = true;
            stream->askFromMs = nowMs + kLaggardKeyframeDelayMs;
        }
        return false;
    }
    if (stream != nullptr) {
        stream->synced = true;
        stream->lagging = false;
    }
    return true;
}

void offerOrdered(LinkQueues& link, const MessagePtr& message) {
    if (link.orderedBytes + message->size > kOrderedQueueBytes) {
        link.doomed = "too much audio waiting";
        return;
    }
    // Out of memory the block is lost for this receiver alone, as for a
    // sender that could not make it.
    push(message->type == ndiwire::kAudio ? link.ordered : link.metadata, link.orderedBytes, link,
         message);
}

const char* lostCause(const LinkQueues& link, long long nowMs) {
    if (link.doomed != nullptr) return link.doomed;
    for (const auto* queue : {&link.ordered, &link.metadata}) {
        if (!queue->empty() && nowMs - queue->front()->madeMs > kOrderedBacklogMs) {
            return "fell 5 s behind";
        }
    }
    return nullptr;
}

namespace {

MessagePtr pop(std::deque<MessagePtr>& queue, size_t& bytes) {
    MessagePtr next = std::move(queue.front());
    queue.pop_front();
    bytes -= next->size;
    return next;
}

}  // namespace

MessagePtr takeNext(LinkQueues& link) {
    MessagePtr next;
    link.videoInFlight = false;
    const bool metadataFirst =
        !link.metadata.empty() &&
        (link.video.empty() || link.metadata.front()->sequence < link.video.front()->sequence);
    if (!link.ordered.empty()) {
        next = pop(link.ordered, link.orderedBytes);
    } else if (metadataFirst) {
        next = pop(link.metadata, link.orderedBytes);
    } else if (!link.video.empty()) {
        next = pop(link.video, link.videoBytes);
        link.videoInFlight = true;
    }
    link.drained = next == nullptr;
    return next;
}

bool wantsKeyframe(const LinkQueues& link, uint32_t fourCC, long long nowMs) {
    if ((link.wants & ndiwire::kWantVideo) == 0 || link.doomed != nullptr) return false;
    // A slow receiver asks only once its backlog is written: a keyframe
    // behind it would be late, or lost again.
    const bool backlog = !link.video.empty() || link.videoInFlight;
    bool roomForNew = false;
    for (const StreamState& stream : link.streams) {
        if (stream.fourCC == fourCC) {
            return !stream.synced && nowMs >= stream.askFromMs && !(stream.lagging && backlog);
        }
        roomForNew |= stream.fourCC == 0;
    }
    return roomForNew;  // never sent this FourCC; untracked ones go out unchecked
}

}  // namespace ndilink
