// Wall-clock readings and a labelled stop-watch.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/engine.h"

// Base of timeMarkUs, timeMarkMs and elapsedMs, in the unit of whichever of
// them last reset it; 0 at launch.
extern std::atomic<int64_t> timeMarkBase;

// Wall clock: seconds x 1000 + microseconds / 1000.
int64_t currentTimeMs();
int64_t getMillisecondsCopy();
// Wall clock: seconds x 1,000,000 + microseconds.
int64_t getMicroseconds();
// Wall clock in seconds, to the nearest microsecond.
double currentTimeSeconds();
// The rounding of currentTimeSeconds: nanoseconds to the nearest microsecond,
// halves away from zero, a full second carried into the seconds.
double secondsFromClock(int64_t seconds, int64_t nanoseconds);

// Reset non-zero: the base becomes now in microseconds. Reset 0: prints
// "%s at %d uSec\n" with now minus the base.
void timeMarkUs(const char* label, int32_t reset);
// The same in milliseconds, printing "%s at %d mSec\n".
void timeMarkMs(const char* label, int32_t reset);
// Reset non-zero: the base becomes now in milliseconds, returns -1. Reset 0:
// returns now in milliseconds minus the base, printing nothing.
int32_t elapsedMs(const void* ignored, int32_t reset);

// Times the stages of one frame for the stage observer (engine.h). Made at
// the start of a frame's work on one thread; each lap hands the time since
// the previous lap to a stage. add keeps a running total instead, handed
// over by flush, for stages done in pieces. Reads no clock while no observer
// is set.
class StageClock {
  public:
    StageClock();
    void lap(EngineStage stage);
    void add(EngineStage stage);
    void flush();

  private:
    int64_t sinceLastLap();
    StageObserver observer_;
    int64_t last_ = 0;
    int64_t totals_[kEngineStageCount] = {};
};
