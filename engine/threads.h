// What the engine asks of the system for the threads on a frame's way: a
// name each, and short turns on a core.
#pragma once

#include <pthread.h>

// Threads take the name of the thread that starts them. The libraries the
// sender thread calls (x264's workers, the NDI runtime's I/O thread) start
// theirs while a name of their own is lent to the calling thread, so that a
// look at the process's threads (top -H, /proc/PID/task) tells them apart.
class LentThreadName {
  public:
    // name: at most 15 characters.
    explicit LentThreadName(const char* name) {
        kept_ = pthread_getname_np(pthread_self(), saved_, sizeof saved_) == 0;
        if (kept_) pthread_setname_np(pthread_self(), name);
    }
    ~LentThreadName() {
        if (kept_) pthread_setname_np(pthread_self(), saved_);
    }
    LentThreadName(const LentThreadName&) = delete;
    LentThreadName& operator=(const LentThreadName&) = delete;

  private:
    char saved_[16] = {};
    bool kept_ = false;
};

// Asks the scheduler for short turns on a core for the calling thread, and
// for the threads it starts from then on: on a machine busy with other work
// a woken thread then gets a core sooner (and gives it up sooner), for the
// same share of the CPU. A frame waits for the slowest of x264's slice
// threads, each of which must find a core at every frame. Kernels from
// Linux 6.12 take the request without privileges (the fair scheduler's
// custom slice); earlier ones ignore it. Leaves the thread's policy and nice
// value as they are. Returns false when the request was refused.
bool requestShortTurns();
