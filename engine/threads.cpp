#include "engine/threads.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <thread>

namespace {

// The size the kernel knows as its first version of the record.
static_assert(sizeof(ThreadSchedule) == 48, "ThreadSchedule must match struct sched_attr");

}  // namespace

bool readThreadSchedule(pid_t tid, ThreadSchedule* schedule) {
#if defined(SYS_sched_getattr)
    *schedule = ThreadSchedule{};
    return syscall(SYS_sched_getattr, tid, schedule, sizeof *schedule, 0) == 0;
#else
    return false;
#endif
}

bool requestShortTurns() {
#if defined(SYS_sched_setattr)
    ThreadSchedule attr{};
    if (!readThreadSchedule(0, &attr)) return false;
    // Only the fair policies know a turn length; a real-time thread keeps its own.
    if (attr.policy != SCHED_OTHER && attr.policy != SCHED_BATCH) return false;
    attr.size = sizeof attr;
    attr.flags = 0;
    attr.runtime = kShortTurnNs;
    return syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
#else
    return false;
#endif
}

int32_t encoderThreadsFor(int32_t cores) { return cores >= 4 ? cores / 2 : std::max(cores, 0); }

int32_t encoderThreadCount() {
    return encoderThreadsFor(static_cast<int32_t>(std::thread::hardware_concurrency()));
}
