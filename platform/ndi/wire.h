// The built-in runtime's wire protocol, spoken over one TCP connection per
// receiver. Both ends build and check messages here, so a header that passes
// the check always describes a frame record that can be read without running
// past its data.
//
// Connection
//   The sender listens (port 5960 unless NDI_PORT says otherwise; when that
//   port is taken, a free one, which it prints). A receiver connects.
//   1. The sender writes its hello at once: the source name.
//   2. The receiver writes its hello within 2 s: protocol version, the kinds
//      of frames it wants and its own name. A peer that stays silent, speaks
//      another version, or announces anything else (refused at the header,
//      before its body is read) is dropped. Only receivers that said hello
//      count against the cap of 64 per sender, get frames and take part in
//      keyframe requests.
//   3. From then on the sender writes one message per frame. A receiver may
//      write progress reports, and nothing else: any other byte drops it.
//      Closing the connection is the goodbye.
// Progress reports tell a receiver that reads from a peer that only lets the
// kernel's buffers fill. A sender that hears them says so in its hello; a
// receiver then reads that hello before writing its own, says in its own
// that it reports, and writes a report with its hello and then, while it
// reads, at most every kReportIntervalMs. Either end may be older and not
// know of reports: a receiver that does not report is served all the same,
// and one that would report keeps silent towards a sender that does not say
// it hears them.
// When the cap is full, a newcomer takes the place of a receiver that does not
// keep up: the one furthest behind, then one that has shown no progress since
// its hello, then, for a newcomer that reports, one that does not report.
// A receiver that reports and keeps reporting is never pushed out; of those
// that do not report, the kernel's word is taken, which a peer that never
// reads can fool for as long as its buffers take a small stream.
// Message: an 80-byte little-endian header, then `dataSize` bytes of frame
// data, then `metadataSize` bytes of metadata text (no NUL).
//    0 magic 'NDTW'        4 type              8 dataSize      12 metadataSize
//   16 fourCC             20 xres             24 yres          28 frameRateN
//   32 frameRateD         36 aspect (float)   40 frameFormatType
//   44 line stride, or the byte count of compressed video
//   48 timecode (64-bit)  56 timestamp (64-bit)
//   64 sampleRate         68 channels         72 samples       76 channel stride
// Hello messages use a few of these slots: `fourCC` holds the protocol
// version; in the sender's hello `xres` holds kHearsProgress when it hears
// reports; in the receiver's hello `xres` holds the wanted kinds (kWantVideo |
// kWantAudio | kWantMetadata) and `yres` kReportsProgress when it reports.
// Their data is a name of at most 255 bytes. A progress report has no data;
// its `timecode` is the count of bytes the receiver has read from the
// connection, the sender's hello included.
//
// Types: 1 video, 2 audio (planar 32-bit float, `channels` planes of
// `channel stride` bytes), 3 metadata (UTF-8 text as data), 4 sender hello,
// 5 receiver hello, 6 progress report.
//
// Limits: data up to 64 MiB, metadata text up to 1 MiB, pictures up to
// 65536 x 65536, 1024 audio channels. A receiver is never waited for: each
// has its own queue. Video that a receiver is too slow to take is dropped in
// whole messages, and it then resumes at the next keyframe of each FourCC;
// compressed video of a FourCC always starts at a keyframe of it. Audio and
// metadata are never dropped and overtake queued video; a receiver whose
// audio falls seconds behind, or that takes no byte for seconds, is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ndi/ndi.h"

namespace ndiwire {

inline constexpr uint32_t kMagic = ndiFourCC('N', 'D', 'T', 'W');
inline constexpr uint32_t kProtocolVersion = 2;
inline constexpr size_t kHeaderSize = 80;
// Caps that keep a broken or hostile peer from making us allocate absurdly.
inline constexpr uint32_t kMaxDataSize = 64u << 20;
inline constexpr uint32_t kMaxMetadataSize = 1u << 20;
inline constexpr int32_t kMaxDimension = 1 << 16;
inline constexpr int32_t kMaxChannels = 1024;
inline constexpr size_t kMaxNameSize = 255;

enum MessageType : uint32_t {
    kVideo = 1,
    kAudio = 2,
    kMetadata = 3,
    kHello = 4,          // the sender's first message: the source name
    kReceiverHello = 5,  // the receiver's first message: what it wants
    kProgress = 6,       // a receiver's count of the bytes it has read
};

// In the sender's hello: it hears progress reports. In the receiver's: it
// writes them.
inline constexpr int32_t kHearsProgress = 1;
inline constexpr int32_t kReportsProgress = 1;
// A receiver that reads reports at most this often.
inline constexpr long long kReportIntervalMs = 100;

// Kinds of frames a receiver asks for in its hello.
enum Wants : uint32_t {
    kWantVideo = 1,
    kWantAudio = 2,
    kWantMetadata = 4,
    kWantEverything = kWantVideo | kWantAudio | kWantMetadata,
};

struct Header {
    uint32_t type = 0;
    uint32_t dataSize = 0;
    uint32_t metadataSize = 0;
    uint32_t fourCC = 0;
    int32_t xres = 0;
    int32_t yres = 0;
    int32_t frameRateN = 0;
    int32_t frameRateD = 0;
    float aspect = 0.0f;
    int32_t frameFormatType = 0;
    int32_t strideOrSize = 0;  // line stride, or the byte count of compressed video
    int64_t timecode = 0;
    int64_t timestamp = 0;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    int32_t channelStride = 0;
};

// True for FourCCs whose frames carry a byte count instead of a line stride.
bool isCompressed(uint32_t fourCC);

// Headers for frames about to be sent. False, with the reason in *error, when
// the record cannot be sent as it stands (negative sizes, data missing, sizes
// over the caps).
bool headerForVideo(const NDIlib_video_frame_v2_t& frame, Header* header, const char** error);
bool headerForAudio(const NDIlib_audio_frame_v2_t& frame, Header* header, const char** error);
bool headerForMetadata(const NDIlib_metadata_frame_t& frame, Header* header, const char** error);
// Hellos; the name is cut to kMaxNameSize bytes. The sender's says it hears
// progress reports.
void headerForHello(const char* sourceName, Header* header);
void headerForReceiverHello(const char* receiverName, uint32_t wants, Header* header,
                            bool reportsProgress = false);
inline uint32_t helloWants(const Header& header) { return static_cast<uint32_t>(header.xres); }
inline bool helloHearsProgress(const Header& h) { return (h.xres & kHearsProgress) != 0; }
inline bool helloReportsProgress(const Header& h) { return (h.yres & kReportsProgress) != 0; }
void headerForProgress(uint64_t bytesRead, Header* header);

void encodeHeader(const Header& header, uint8_t out[kHeaderSize]);
// Decodes and checks a received header; false, with the reason in *error,
// for anything a peer of ours would not have written.
bool decodeHeader(const uint8_t in[kHeaderSize], Header* header, const char** error);

// Frame records over a received message's payload (data, metadata text, NUL),
// which they then point into.
void videoFromMessage(const Header& h, uint8_t* payload, NDIlib_video_frame_v2_t* frame);
void audioFromMessage(const Header& h, uint8_t* payload, NDIlib_audio_frame_v2_t* frame);
void metadataFromMessage(const Header& h, uint8_t* payload, NDIlib_metadata_frame_t* frame);

// Puts messages back together from a byte stream cut anywhere: bytes go into
// space(), and advance() says when a message is whole.
class MessageReader {
  public:
    enum Progress { kMore, kComplete, kFailed };
    MessageReader() = default;
    MessageReader(const MessageReader&) = delete;
    MessageReader& operator=(const MessageReader&) = delete;
    ~MessageReader();

    // Where the next bytes go, and at most how many the message still needs.
    uint8_t* space(size_t* room);
    // Counts got bytes written into space(). kFailed, with the reason in
    // *error, for a header no peer of ours writes; the stream is then lost.
    Progress advance(size_t got, const char** error);
    // The whole message: its header, and its payload (data, metadata text and
    // a NUL) for the caller to free(). Readies the reader for the next one.
    const Header& header() const { return header_; }
    uint8_t* takePayload();

  private:
    uint8_t headerBytes_[kHeaderSize] = {};
    size_t headerHave_ = 0;
    bool headerReady_ = false;
    Header header_;
    uint8_t* payload_ = nullptr;
    size_t payloadSize_ = 0;
    size_t payloadHave_ = 0;
};

// What the sender reads from a peer: its hello, and after it progress reports
// alone. Never holds more than a hello's bytes, whatever a peer announces.
class PeerReader {
  public:
    enum Progress { kMore, kGreeted, kReported, kRefused };
    // Where the next bytes from the peer go, and at most how many.
    uint8_t* space(size_t* room);
    // Counts got bytes written into space(). kGreeted once the hello is
    // whole, kReported once a progress report is; kRefused, with the reason
    // in *error, for anything else the peer sends, found out at the first
    // byte that cannot begin a message or at the header.
    Progress advance(size_t got, const char** error);
    // From the hello: the kinds of frames wanted, whether it reports, and the
    // name as sent (not checked as UTF-8), NUL-terminated.
    uint32_t wants() const { return helloWants(header_); }
    bool reportsProgress() const { return helloReportsProgress(header_); }
    const char* name() const { return reinterpret_cast<const char*>(bytes_ + kHeaderSize); }
    // From the last report: the bytes the peer says it has read.
    uint64_t reported() const { return reported_; }

  private:
    Progress advanceReport(size_t got, const char** error);
    uint8_t bytes_[kHeaderSize + kMaxNameSize + 1] = {};  // the hello, then a NUL
    size_t have_ = 0;
    bool headerRead_ = false;
    bool greeted_ = false;
    Header header_;
    uint8_t report_[kHeaderSize] = {};
    size_t reportHave_ = 0;
    uint64_t reported_ = 0;
};

// True when the compressed or uncompressed video data holds a keyframe. For
// H.264 it trusts the keyframe flag of a well-formed packet header in front
// and otherwise looks for an IDR picture in the Annex B bytes.
bool isKeyframe(uint32_t fourCC, const uint8_t* data, size_t size);

}  // namespace ndiwire
