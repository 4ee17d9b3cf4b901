// Flags and values shared between the subsystems and their threads.
//
// Each is written by one subsystem and read by others, often on another
// thread (display link, sender, audio), so every one is atomic: a reader sees
// the old or the new value, never a mixture. Names and launch values are the
// program's shared vocabulary; who writes and reads each is noted beside it.
#pragma once

#include <atomic>
#include <cstdint>

// Frame-rate table index announced with every frame (written by the main
// window, read when a frame is submitted).
extern std::atomic<int32_t> frameRateCode;  // 7 at launch
// 0 capture and send, 1 send nothing, 2 send black frames (main window
// writes, frame clock reads).
extern std::atomic<int32_t> liveOutputMode;
// 1 asks the compressed path to set its encoders up again (bit-rate control
// raises it, the sender thread clears it).
extern std::atomic<int32_t> bitRateChanged;
// 1 asks the frame clock to place the crop window from the saved crop box.
extern std::atomic<int32_t> cropInitPending;

// The one capture buffer (7680 x 4320 x 4 bytes once allocated) and the size
// of the picture it holds: width is the row stride in pixels, height even.
// The frame clock's lock keeps a picture and its size together: they are
// written by capture steps and read by submissions, both with it held.
inline constexpr int32_t kMaxFrameWidth = 7680;
inline constexpr int32_t kMaxFrameHeight = 4320;
inline constexpr int64_t kMaxFrameBytes = int64_t{kMaxFrameWidth} * kMaxFrameHeight * 4;
extern std::atomic<uint8_t*> theCaptureBuffer;
extern std::atomic<int32_t> captureWidth;
extern std::atomic<int32_t> captureHeight;

// 1 when some screen has a backing scale factor above 1.0; set once when the
// frame mailbox is created.
extern std::atomic<int32_t> displayIsRetina;

// Audio capture run state, published for the frame clock and the channel
// indicator.
extern std::atomic<int32_t> audioThreadRunning;
extern std::atomic<int32_t> audioChannelCount;
extern std::atomic<int32_t> channelCountChanged;  // 1 at launch
// Largest sample of channel 0 in the last audio block sent, never below 0.
extern std::atomic<float> audioPeakLevel;

// Main screen height in points at start-up, and non-zero while a full-screen
// space is in front (main window writes, source capture reads).
extern std::atomic<float> mainScreenHeight;
extern std::atomic<int32_t> fullScreenSpaceActive;
