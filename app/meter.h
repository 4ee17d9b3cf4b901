// The level meter's state and the addresses of the link buttons.
#pragma once

// The value the level meter shows, divided by 100: follows the peak of each
// audio block up at once and falls back by 10 % per update, to zero when no
// block comes. Main thread only.
extern float meterLevel;

// The level meter counts in hundredths, so that a decaying value such as
// 36.45 shows as it is.
inline constexpr int kMeterSteps = 100;

// Pages the link buttons open.
inline constexpr const char* kAudioOutUrl = "http://" NDITABRIVO_WEB_HOST "/ndi/audioout.html";
inline constexpr const char* kNewTekUrl = "http://www.newtek.com/";
inline constexpr const char* kCloudUrl = "http://ndi.cloud/";
inline constexpr const char* kTwitterUrl = "http://" NDITABRIVO_WEB_HOST "/twitter.html";
inline constexpr const char* kYoutubeUrl = "http://" NDITABRIVO_WEB_HOST "/youtube.html";
inline constexpr const char* kCorvelUrl = "http://" NDITABRIVO_WEB_HOST "/ndi";
