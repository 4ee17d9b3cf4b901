// Peers that stall, read slowly, churn, never say hello or hold the port: the
// sender must go on serving the good receivers at their own pace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ndi/ndi.h"
#include "platform/ndi/wire.h"
#include "tests/platform/ndi_loopback.h"

using namespace nditest;

namespace {

constexpr int kFrames = 150;
constexpr size_t kFrameBytes = 256 * 1024;

// A compressed picture: the 44-byte packet header with its keyframe flag,
// then bytes that tell which frame they belong to.
void sendPacket(NDIlib_send_instance_t sender, int frame, bool keyframe,
                size_t frameBytes = kFrameBytes) {
    std::vector<uint8_t> bytes(44);
    const std::vector<uint8_t> body = patterned(frameBytes - 44, frame);
    bytes.insert(bytes.end(), body.begin(), body.end());
    const uint32_t fields[][2] = {{0, 44},
                                  {4, NDIlib_FourCC_type_H264},
                                  {32, keyframe ? 1u : 0u},
                                  {36, static_cast<uint32_t>(frameBytes - 44)}};
    for (const auto& f : fields) memcpy(&bytes[f[0]], &f[1], 4);  // host is little-endian
    NDIlib_video_frame_v2_t video;
    video.xres = 1280;
    video.yres = 720;
    video.FourCC = NDIlib_FourCC_type_H264;
    video.timecode = frame;
    video.p_data = bytes.data();
    video.data_size_in_bytes = static_cast<int32_t>(bytes.size());
    NDIlib_send_send_video_v2(sender, &video);
}

bool isKeyframeNumber(int frame) { return frame % 10 == 0; }

// Reads every video frame and checks it is whole and the one expected.
void readInOrder(NDIlib_recv_instance_t receiver, std::atomic<int>* received, bool* intact) {
    while (*received < kFrames) {
        NDIlib_video_frame_v2_t video;
        if (NDIlib_recv_capture_v2(receiver, &video, nullptr, nullptr, 5000) !=
            NDIlib_frame_type_video) {
            return;
        }
        const int n = received->load();
        *intact &= video.timecode == n && video.data_size_in_bytes == int32_t{kFrameBytes} &&
                   matchesPattern(video.p_data + 44, kFrameBytes - 44, n);
        NDIlib_recv_free_video_v2(receiver, &video);
        ++*received;
    }
}

// A receiver on a slow link: a little at a time, checking that it only ever
// sees whole messages and that video picks up again only at keyframes.
struct SlowReader {
    int fd = -1;
    std::atomic<bool> stop{false};
    int videoFrames = 0;
    bool wholeMessages = true;
    bool resumesAtKeyframes = true;

    void run() {
        ndiwire::MessageReader reader;
        int64_t last = -2;
        while (!stop) {
            size_t room = 0;
            uint8_t* space = reader.space(&room);
            const ssize_t got = recv(fd, space, std::min<size_t>(room, 16 * 1024), 0);
            if (got <= 0) return;
            const char* error = nullptr;
            const auto progress = reader.advance(static_cast<size_t>(got), &error);
            if (progress == ndiwire::MessageReader::kFailed) {
                wholeMessages = false;
                return;
            }
            if (progress != ndiwire::MessageReader::kComplete) continue;
            const ndiwire::Header h = reader.header();
            uint8_t* payload = reader.takePayload();
            if (h.type == ndiwire::kVideo) {
                ++videoFrames;
                wholeMessages &=
                    matchesPattern(payload + 44, kFrameBytes - 44, static_cast<int>(h.timecode));
                if (h.timecode != last + 1) resumesAtKeyframes &= isKeyframeNumber(h.timecode);
                last = h.timecode;
            }
            free(payload);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
};

}  // namespace

TEST(NDIHostilePeers, StalledAndSlowReceiversDoNotHoldUpAGoodOne) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const int port = NDIlib_send_get_port(sender);
    NDIlib_recv_instance_t good = makeReceiver(addressOf(sender));
    ASSERT_NE(good, nullptr);
    const int stalled = rawReceiver(port);  // says hello, never reads
    SlowReader slow;
    slow.fd = rawReceiver(port);
    ASSERT_GE(stalled, 0);
    ASSERT_GE(slow.fd, 0);
    ASSERT_TRUE(waitForConnections(sender, 3));

    testing::internal::CaptureStderr();
    std::atomic<int> received{0};
    bool intact = true;
    std::thread reader([&] { readInOrder(good, &received, &intact); });
    std::thread slowReader([&] { slow.run(); });
    // Each frame goes out once the good receiver has the one before: it must
    // get every one, whatever the others do.
    for (int i = 0; i < kFrames; ++i) {
        sendPacket(sender, i, isKeyframeNumber(i));
        ASSERT_TRUE(waitUntil([&] { return received > i; })) << "frame " << i;
    }
    reader.join();
    EXPECT_EQ(received, kFrames);
    EXPECT_TRUE(intact);
    // The stalled one goes once it has taken nothing for a while.
    EXPECT_TRUE(waitForConnections(sender, 2));
    slow.stop = true;
    shutdown(slow.fd, SHUT_RDWR);
    slowReader.join();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("dropped receiver \"raw\" at 127.0.0.1:"), std::string::npos) << errors;
    EXPECT_NE(errors.find(": stalled"), std::string::npos) << errors;
    EXPECT_GT(slow.videoFrames, 0);
    EXPECT_TRUE(slow.wholeMessages);
    EXPECT_TRUE(slow.resumesAtKeyframes);
    close(stalled);
    close(slow.fd);
    NDIlib_recv_destroy(good);
    NDIlib_send_destroy(sender);
}

// The engine's side: it asks before each picture, makes the picture a
// keyframe if asked, and the one after it too, as the encoder's countdown
// does.
class EngineLike {
  public:
    explicit EngineLike(NDIlib_send_instance_t sender, size_t frameBytes = kFrameBytes)
        : sender_(sender), frameBytes_(frameBytes) {
        probe_.FourCC = NDIlib_FourCC_type_H264;
    }
    void ask() { required_ = NDIlib_send_is_keyframe_required(sender_, &probe_); }
    void send() {
        const bool keyframe = required_ || secondPending_;
        secondPending_ = required_;
        keyframes_ += keyframe ? 1 : 0;
        sendPacket(sender_, frame_++, keyframe, frameBytes_);
    }
    int sent() const { return frame_; }
    // Two at once, then one per half second, whatever the joins.
    void expectKeyframesWithinBudget() const {
        const long long elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start_)
                                        .count();
        EXPECT_GE(keyframes_, 1);
        EXPECT_LE(keyframes_, 4 + elapsedMs / 500) << elapsedMs << " ms";
    }

  private:
    NDIlib_send_instance_t sender_;
    size_t frameBytes_;
    NDIlib_video_frame_v2_t probe_;
    bool required_ = false;
    bool secondPending_ = false;
    std::atomic<int> frame_{0};
    int keyframes_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

TEST(NDIHostilePeers, ConnectionChurnCannotMultiplyKeyframes) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    std::atomic<bool> churning{true};
    std::atomic<int> joins{0};
    std::atomic<int> startsOnAKeyframe{0};
    std::atomic<int> startsElsewhere{0};
    std::thread churn([&] {
        // Each peer leaves with its first picture, or after 50 ms without.
        for (int i = 0; i < 60; ++i) {
            NDIlib_recv_instance_t peer = makeReceiver(addressOf(sender));
            if (peer == nullptr) continue;
            ++joins;
            NDIlib_video_frame_v2_t video;
            if (NDIlib_recv_capture_v2(peer, &video, nullptr, nullptr, 50) ==
                NDIlib_frame_type_video) {
                ++(video.p_data[32] == 1 ? startsOnAKeyframe : startsElsewhere);
                NDIlib_recv_free_video_v2(peer, &video);
            }
            NDIlib_recv_destroy(peer);
        }
        churning = false;
    });
    EngineLike engine(sender);
    while (churning) {
        engine.ask();
        engine.send();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    churn.join();
    EXPECT_EQ(joins, 60);
    EXPECT_GE(startsOnAKeyframe, 1);
    EXPECT_EQ(startsElsewhere, 0);
    engine.expectKeyframesWithinBudget();
    NDIlib_send_destroy(sender);
}

TEST(NDIHostilePeers, PeersThatLeaveBeforeTheirKeyframeCannotMultiplyKeyframes) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    NDIlib_recv_instance_t steady = makeReceiver(addressOf(sender));
    ASSERT_NE(steady, nullptr);
    ASSERT_TRUE(waitForConnections(sender, 1));
    std::thread reader([&] {
        NDIlib_video_frame_v2_t video;
        while (NDIlib_recv_capture_v2(steady, &video, nullptr, nullptr, 1000) ==
               NDIlib_frame_type_video) {
            NDIlib_recv_free_video_v2(steady, &video);
        }
    });
    // Before every picture a peer says hello, is seen asking, and is gone
    // before its keyframe.
    EngineLike engine(sender);
    for (int i = 0; i < 50; ++i) {
        const int peer = rawReceiver(NDIlib_send_get_port(sender));
        const bool joined = waitForConnections(sender, 2);
        engine.ask();
        close(peer);
        const bool left = waitForConnections(sender, 1);
        engine.send();
        if (!joined || !left) {
            ADD_FAILURE() << "peer " << i << (joined ? " did not leave" : " did not join");
            break;
        }
    }
    reader.join();
    engine.expectKeyframesWithinBudget();
    NDIlib_recv_destroy(steady);
    NDIlib_send_destroy(sender);
}

TEST(NDIHostilePeers, IdleSocketsAreDroppedAndLockNobodyOut) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const int port = NDIlib_send_get_port(sender);
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(rawConnect(port));
        ASSERT_GE(idle.back(), 0);
    }
    NDIlib_recv_instance_t receiver = makeReceiver(addressOf(sender));
    ASSERT_NE(receiver, nullptr);
    EXPECT_TRUE(waitForConnections(sender, 1));
    // Even the newest silent peer goes once its time to say hello is up.
    EXPECT_TRUE(waitForClose(idle.back()));
    EXPECT_EQ(NDIlib_send_get_no_connections(sender, 0), 1);
    for (int fd : idle) close(fd);
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}

// True while the sender has not closed the raw peer's connection; reads and
// drops whatever waits.
bool stillOpen(int fd) {
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

TEST(NDIHostilePeers, PeersThatSaidHelloAndNeverReadCannotKeepAReceiverOut) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const int port = NDIlib_send_get_port(sender);
    // The cap filled with peers that take one picture and then read no more,
    // and, among them, one that asks only for metadata, of which none comes.
    constexpr int kTookNothing = 20;
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(rawReceiver(
            port, i == kTookNothing ? ndiwire::kWantMetadata : ndiwire::kWantEverything));
        ASSERT_GE(idle.back(), 0);
    }
    ASSERT_TRUE(waitForConnections(sender, 64));
    sendPatternedPicture(sender, 16, 16, 0);
    for (int i = 0; i < 64; ++i) {
        if (i == kTookNothing) continue;
        ASSERT_TRUE(readMessages(idle[i], 2, [](auto&, auto*) {})) << i;
    }

    testing::internal::CaptureStderr();
    NDIlib_recv_instance_t receiver = makeReceiver(addressOf(sender));
    EXPECT_NE(receiver, nullptr);
    EXPECT_TRUE(waitForClose(idle[kTookNothing]));
    int pictures = 0;
    for (int frame = 1; frame < 100 && pictures == 0; ++frame) {
        sendPatternedPicture(sender, 16, 16, frame);
        NDIlib_video_frame_v2_t video;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(receiver, &video, nullptr, nullptr, 100);
        if (type == NDIlib_frame_type_error) break;
        if (type != NDIlib_frame_type_video) continue;
        ++pictures;
        NDIlib_recv_free_video_v2(receiver, &video);
    }
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(NDIlib_send_get_no_connections(sender, 0), 64);
    for (int i = 0; i < 64; ++i) {
        if (i != kTookNothing) {
            EXPECT_TRUE(stillOpen(idle[i])) << i;
        }
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("made room for a new receiver"), std::string::npos) << errors;
    for (int fd : idle) close(fd);
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}

TEST(NDIHostilePeers, AMessageAnnouncedInsteadOfAHelloIsRefusedAtItsHeader) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    testing::internal::CaptureStderr();
    const int peer = rawConnect(NDIlib_send_get_port(sender));
    ASSERT_GE(peer, 0);
    // 64 MiB of video announced, none of it sent: a sender that waited for
    // the body would hold the peer until its time to say hello ran out.
    ndiwire::Header video;
    video.type = ndiwire::kVideo;
    video.fourCC = NDIlib_FourCC_type_H264;
    video.xres = 1920;
    video.yres = 1080;
    video.dataSize = ndiwire::kMaxDataSize;
    video.strideOrSize = static_cast<int32_t>(ndiwire::kMaxDataSize);
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(video, bytes);
    ASSERT_EQ(write(peer, bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
    EXPECT_TRUE(waitForClose(peer));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("dropped peer 127.0.0.1:"), std::string::npos) << errors;
    EXPECT_NE(errors.find("before its hello"), std::string::npos) << errors;
    close(peer);
    NDIlib_send_destroy(sender);
}

TEST(NDIHostilePeers, ATakenPortMovesTheSenderToAFreeOneWithOneLine) {
    NDIlib_send_instance_t first = makeSender();
    ASSERT_NE(first, nullptr);
    const int taken = NDIlib_send_get_port(first);
    ASSERT_EQ(setenv("NDI_PORT", std::to_string(taken).c_str(), 1), 0);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    NDIlib_send_instance_t second = makeSender("Second");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_NE(second, nullptr);
    const int port = NDIlib_send_get_port(second);
    EXPECT_NE(port, taken);
    EXPECT_EQ(errors, "ndi: TCP port " + std::to_string(taken) + " is taken; listening on port " +
                          std::to_string(port) + " instead\n");
    EXPECT_EQ(out, "NDI source \"Second\" on TCP port " + std::to_string(port) + "\n");
    NDIlib_recv_instance_t receiver = makeReceiver(addressOf(second));
    EXPECT_NE(receiver, nullptr);
    EXPECT_STREQ(NDIlib_recv_get_source_name(receiver), "Second");
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(second);
    NDIlib_send_destroy(first);
}

TEST(NDIHostilePeers, ReceiversThatKeepUpAreNeverPushedOutANewcomerIsRefusedInstead) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const int port = NDIlib_send_get_port(sender);
    std::vector<int> readers;
    for (int i = 0; i < 64; ++i) {
        readers.push_back(rawReceiver(port));
        ASSERT_GE(readers.back(), 0);
    }
    ASSERT_TRUE(waitForConnections(sender, 64));
    sendPatternedPicture(sender, 16, 16, 0);
    for (int fd : readers) ASSERT_TRUE(readMessages(fd, 2, [](auto&, auto*) {}));
    // Every place held by a reader that takes all it is sent.
    std::atomic<bool> stop{false};
    std::atomic<int> closed{0};
    std::thread drain([&] {
        std::vector<bool> gone(readers.size());
        while (!stop) {
            for (size_t i = 0; i < readers.size(); ++i) {
                if (gone[i]) continue;
                gone[i] = !stillOpen(readers[i]);
                closed += gone[i] ? 1 : 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    StderrFile errors;
    for (int i = 0; i < 10; ++i) {
        const int newcomer = rawReceiver(port);
        const bool refused = newcomer >= 0 && waitForClose(newcomer, 5000);
        close(newcomer);
        if (!refused) {
            ADD_FAILURE() << "newcomer " << i << " was let in";
            break;
        }
        sendPatternedPicture(sender, 16, 16, i + 1);
    }
    stop = true;
    drain.join();
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(NDIlib_send_get_no_connections(sender, 0), 64);
    EXPECT_NE(errors.text().find("refused: all 64 receiver places are held by receivers that keep "
                                 "up"),
              std::string::npos)
        << errors.text();
    for (int fd : readers) close(fd);
    NDIlib_send_destroy(sender);
}

// An engine at 60 frames a second with the small pictures of a still screen,
// which the kernel's buffers of a peer that never reads absorb for seconds.
struct PacedEngine {
    explicit PacedEngine(NDIlib_send_instance_t sender, int frameMs, size_t frameBytes = 1000)
        : engine(sender, frameBytes), thread([this, frameMs] {
              while (!stop) {
                  engine.ask();
                  engine.send();
                  std::this_thread::sleep_for(std::chrono::milliseconds(frameMs));
              }
          }) {}
    ~PacedEngine() {
        stop = true;
        thread.join();
    }
    EngineLike engine;
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Video frames a receiver takes in the given time; stops at an error.
int framesWithin(NDIlib_recv_instance_t receiver, std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    int frames = 0;
    while (std::chrono::steady_clock::now() < end) {
        NDIlib_video_frame_v2_t video;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(receiver, &video, nullptr, nullptr, 50);
        if (type == NDIlib_frame_type_error) break;
        if (type != NDIlib_frame_type_video) continue;
        ++frames;
        NDIlib_recv_free_video_v2(receiver, &video);
    }
    return frames;
}

TEST(NDIHostilePeers, PeersThatSayHelloAndNeverReadCannotLockAReaderOut) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const int port = NDIlib_send_get_port(sender);
    StderrFile errors;  // thousands of lines about the flood
    PacedEngine paced(sender, 16);
    // Peers say hello, never read, and go after 2.5 s: 64 at once, to take
    // every place, then about 80 a second.
    std::atomic<bool> flooding{true};
    std::atomic<int> opened{0};
    std::thread flood([&] {
        std::vector<std::pair<int, std::chrono::steady_clock::time_point>> open;
        while (flooding) {
            const auto now = std::chrono::steady_clock::now();
            open.emplace_back(rawReceiver(port), now);
            while (now - open.front().second > std::chrono::milliseconds(2500)) {
                close(open.front().first);
                open.erase(open.begin());
            }
            if (++opened >= 64) std::this_thread::sleep_for(std::chrono::microseconds(12500));
        }
        for (const auto& peer : open) close(peer.first);
    });
    // The first 64 have each been sent a few pictures, which their kernels took.
    ASSERT_TRUE(waitUntil([&] { return NDIlib_send_get_no_connections(sender, 0) == 64; }));
    const int sentAtFull = paced.engine.sent();
    ASSERT_TRUE(waitUntil([&] { return paced.engine.sent() >= sentAtFull + 5; }));
    NDIlib_recv_instance_t reader = makeReceiver(addressOf(sender));
    const int sentBefore = paced.engine.sent();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    const int received = reader != nullptr ? framesWithin(reader, std::chrono::seconds(4)) : 0;
    std::this_thread::sleep_until(end);  // a reader pushed out counts what it missed
    const int sent = paced.engine.sent() - sentBefore;
    flooding = false;
    flood.join();
    // Alone it would get every frame from its first keyframe on.
    EXPECT_GE(sent, 60);
    EXPECT_GE(received * 2, sent) << received << " of " << sent;
    NDIlib_recv_destroy(reader);
    NDIlib_send_destroy(sender);
}

TEST(NDIHostilePeers, AReceiverThereFirstKeepsItsPlaceAndEveryFrameBesideReadersAndJoiners) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    NDIlib_recv_instance_t first = makeReceiver(addressOf(sender));
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(waitForConnections(sender, 1));
    std::vector<NDIlib_recv_instance_t> readers;
    for (int i = 0; i < 63; ++i) {
        readers.push_back(makeReceiver(addressOf(sender)));
        ASSERT_NE(readers.back(), nullptr);
    }
    ASSERT_TRUE(waitForConnections(sender, 64));
    StderrFile errors;
    std::atomic<bool> stop{false};
    std::atomic<int> readersLost{0};
    std::thread drain([&] {
        std::vector<bool> lost(readers.size());
        while (!stop) {
            for (size_t i = 0; i < readers.size(); ++i) {
                NDIlib_video_frame_v2_t video;
                NDIlib_frame_type_e type = NDIlib_frame_type_none;
                while (!lost[i] &&
                       (type = NDIlib_recv_capture_v2(readers[i], &video, nullptr, nullptr, 0)) !=
                           NDIlib_frame_type_none) {
                    if (type == NDIlib_frame_type_video)
                        NDIlib_recv_free_video_v2(readers[i], &video);
                    lost[i] = type == NDIlib_frame_type_error;
                    readersLost += lost[i] ? 1 : 0;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Ten newcomers a second, each of which would read if it were let in.
    std::atomic<int> joined{0};
    std::atomic<int> refused{0};
    std::thread joiners([&] {
        while (!stop) {
            const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            NDIlib_recv_instance_t newcomer = makeReceiver(addressOf(sender));
            ++joined;
            NDIlib_video_frame_v2_t video;
            NDIlib_frame_type_e type = NDIlib_frame_type_none;
            for (int i = 0; i < 50 && newcomer != nullptr && type == NDIlib_frame_type_none; ++i) {
                type = NDIlib_recv_capture_v2(newcomer, &video, nullptr, nullptr, 100);
            }
            if (type == NDIlib_frame_type_video) NDIlib_recv_free_video_v2(newcomer, &video);
            // Refused at its hello, before or after it read ours.
            refused += newcomer == nullptr || type == NDIlib_frame_type_error ? 1 : 0;
            NDIlib_recv_destroy(newcomer);
            std::this_thread::sleep_until(next);
        }
    });
    std::atomic<int> received{0};
    bool inOrder = true;
    std::thread reader([&] {
        NDIlib_video_frame_v2_t video;
        while (received < 360 && NDIlib_recv_capture_v2(first, &video, nullptr, nullptr, 5000) ==
                                     NDIlib_frame_type_video) {
            inOrder &= video.timecode == received;
            NDIlib_recv_free_video_v2(first, &video);
            ++received;
        }
    });
    // 360 frames in 12 s, a keyframe a second.
    for (int frame = 0; frame < 360; ++frame) {
        const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(33);
        sendPacket(sender, frame, frame % 30 == 0, 1000);
        std::this_thread::sleep_until(next);
    }
    reader.join();
    stop = true;
    joiners.join();
    drain.join();
    EXPECT_EQ(received, 360);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(readersLost, 0);
    EXPECT_GE(joined, 60);
    EXPECT_EQ(refused, joined) << "a newcomer was let in or never answered";
    EXPECT_EQ(NDIlib_send_get_no_connections(sender, 0), 64);
    for (NDIlib_recv_instance_t r : readers) NDIlib_recv_destroy(r);
    NDIlib_recv_destroy(first);
    NDIlib_send_destroy(sender);
}

// A peer's name is printed escaped, and lines a peer can cause at will come
// once an interval with a count of the rest.
TEST(NDIHostilePeers, PeersCanNeitherForgeLinesNorFloodTheLog) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const int port = NDIlib_send_get_port(sender);
    StderrFile errors;
    const int forger = rawReceiver(port, ndiwire::kWantEverything,
                                   "x\nNDITabrivo: FORGED LINE\x1b[2J\"\\" + std::string(200, 'y'));
    ASSERT_GE(forger, 0);
    ASSERT_EQ(write(forger, "!", 1), 1);  // data after the hello
    ASSERT_TRUE(waitForClose(forger));
    close(forger);
    constexpr int kFlood = 300;
    for (int i = 0; i < kFlood; ++i) {
        const int peer = rawReceiver(port);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(write(peer, "!", 1), 1);
        ASSERT_TRUE(waitForClose(peer));
        close(peer);
    }
    ASSERT_TRUE(waitUntil([&] { return errors.text().find("left out") != std::string::npos; }))
        << errors.text();
    const std::string text = errors.text();
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find("\nNDITabrivo: FORGED LINE"), std::string::npos) << text;
    EXPECT_NE(text.find("dropped receiver \"x\\x0aNDITabrivo: FORGED LINE\\x1b[2J\\\"\\\\yyy"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("yyy...\" at 127.0.0.1:"), std::string::npos) << text;
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 20) << text;
    NDIlib_send_destroy(sender);
}
