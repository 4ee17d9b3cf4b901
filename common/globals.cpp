#include "common/globals.h"

std::atomic<int32_t> frameRateCode{7};
std::atomic<int32_t> liveOutputMode{0};
std::atomic<int32_t> bitRateChanged{0};
std::atomic<int32_t> cropInitPending{0};

std::atomic<uint8_t*> theCaptureBuffer{nullptr};
std::atomic<int32_t> captureWidth{0};
std::atomic<int32_t> captureHeight{0};

std::atomic<int32_t> displayIsRetina{0};

std::atomic<int32_t> audioThreadRunning{0};
std::atomic<int32_t> audioChannelCount{0};
std::atomic<int32_t> channelCountChanged{1};
std::atomic<float> audioPeakLevel{0.0f};

std::atomic<float> mainScreenHeight{0.0f};
std::atomic<int32_t> fullScreenSpaceActive{0};
