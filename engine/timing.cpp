#include "engine/timing.h"

#include <cstdio>
#include <ctime>

#include "common/wall_clock.h"

std::atomic<int64_t> timeMarkBase{0};

int64_t currentTimeMs() { return wallClockMilliseconds(); }

int64_t getMillisecondsCopy() { return wallClockMilliseconds(); }

int64_t getMicroseconds() { return wallClockMicroseconds(); }

double secondsFromClock(int64_t seconds, int64_t nanoseconds) {
    // Rounded in integers: nanoseconds x 0.001 in floating point can land a
    // hair under the half and round the wrong way.
    int64_t micro = nanoseconds >= 0 ? (nanoseconds + 500) / 1000 : (nanoseconds - 500) / 1000;
    if (micro >= 1000000) {
        micro -= 1000000;
        seconds += 1;
    }
    return static_cast<double>(seconds) + static_cast<double>(micro) * 0.000001;
}

double currentTimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return secondsFromClock(now.tv_sec, now.tv_nsec);
}

namespace {

void timeMark(const char* label, int32_t reset, int64_t now, const char* unit) {
    if (reset != 0) {
        timeMarkBase = now;
        return;
    }
    printf("%s at %d %s\n", label, static_cast<int32_t>(now - timeMarkBase), unit);
}

}  // namespace

void timeMarkUs(const char* label, int32_t reset) {
    timeMark(label, reset, getMicroseconds(), "uSec");
}

void timeMarkMs(const char* label, int32_t reset) {
    timeMark(label, reset, currentTimeMs(), "mSec");
}

int32_t elapsedMs(const void*, int32_t reset) {
    const int64_t now = currentTimeMs();
    if (reset != 0) {
        timeMarkBase = now;
        return -1;
    }
    return static_cast<int32_t>(now - timeMarkBase);
}

namespace {

std::atomic<StageObserver> stageObserver{nullptr};

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

void setStageObserver(StageObserver observer) { stageObserver.store(observer); }

StageClock::StageClock() : observer_(stageObserver.load()) {
    if (observer_ != nullptr) last_ = monotonicNs();
}

int64_t StageClock::sinceLastLap() {
    const int64_t now = monotonicNs();
    const int64_t elapsed = now - last_;
    last_ = now;
    return elapsed;
}

void StageClock::lap(EngineStage stage) {
    if (observer_ != nullptr) observer_(stage, sinceLastLap());
}

void StageClock::add(EngineStage stage) {
    if (observer_ != nullptr) totals_[static_cast<int>(stage)] += sinceLastLap();
}

void StageClock::flush() {
    if (observer_ == nullptr) return;
    for (int i = 0; i < kEngineStageCount; ++i) {
        if (totals_[i] != 0) observer_(static_cast<EngineStage>(i), totals_[i]);
        totals_[i] = 0;
    }
}
