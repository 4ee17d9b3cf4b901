// What the engine asks of the system for the threads on a frame's way: a
// name each, and short turns on a core.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

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

// A thread's scheduling attributes as the kernel gives them (its struct
// sched_attr, first version; glibc declares neither it nor the calls).
// runtime is the thread's turn on a core in ns, for the fair policies.
struct ThreadSchedule {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
};
// Reads the attributes of thread tid (0: the calling thread). False when the
// kernel does not give them.
bool readThreadSchedule(pid_t tid, ThreadSchedule* schedule);

// The turn requestShortTurns asks for. 0.3 ms instead of the scheduler's
// usual 3: on 8 cores with a spinning process on each, 1080p60 encodes that
// ran past their 16.7 ms became about four times rarer (1 ms did less, 0.1 ms
// no better).
inline constexpr uint64_t kShortTurnNs = 300000;

// Asks the scheduler for short turns on a core for the calling thread, and
// for the threads it starts from then on: on a machine busy with other work
// a woken thread then gets a core sooner (and gives it up sooner), for the
// same share of the CPU. A frame waits for the slowest of x264's slice
// threads, each of which must find a core at every frame. Kernels from
// Linux 6.12 take the request without privileges (the fair scheduler's
// custom slice); earlier ones ignore it. Leaves the thread's policy and nice
// value as they are. Returns false when the request was refused.
bool requestShortTurns();

// x264's slice threads on a machine of `cores` cores (0: not known, x264
// then chooses): half of them from 4 cores on, all of them below. A frame
// waits for its slowest slice, and beside the encode run the next frame's
// copy into the mailbox (on four threads), the capture and the window
// system. On 8 cores, half gave 7 to 17 % less CPU a frame than a thread a
// core (x264's own choice), at 1080p and 3840 x 2160, at the same frame
// rate or higher.
int32_t encoderThreadsFor(int32_t cores);
// encoderThreadsFor the cores of this machine.
int32_t encoderThreadCount();
