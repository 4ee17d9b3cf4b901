#include "engine/band_pool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>

#include "common/diagnostics.h"
#include "engine/threads.h"

namespace {

// Bands per thread: a worker that starts late or is held up finds some work
// left, and the caller does not wait long for the last band.
constexpr int32_t kBandsPerSlot = 2;
constexpr int32_t kMaxWorkers = 3;
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(100);

uint64_t claimWord(uint32_t generation, uint32_t band) { return uint64_t{generation} << 32 | band; }

}  // namespace

// A worker that cannot be started (no memory or threads left) leaves the
// pool with fewer: its bands run on the threads there are.
BandPool::BandPool(int32_t workers) {
    try {
        threads_.reserve(static_cast<size_t>(std::max(workers, 0)));
        for (int32_t slot = 1; slot <= workers; ++slot) {
            threads_.emplace_back([this, slot] {
                requestShortTurns();
                workerLoop(slot);
            });
            pthread_setname_np(threads_.back().native_handle(), "ndi-bands");
        }
    } catch (const std::exception& error) {
        diagnosticLine("picture bands: %d of %d workers started (%s)",
                       static_cast<int>(threads_.size()), static_cast<int>(workers), error.what());
    }
}

BandPool::~BandPool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    jobPosted_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void BandPool::runBands(int32_t rows, int32_t step, BandWork work) {
    if (rows < 1) return;
    step = std::max(step, 1);
    const int32_t steps = (rows + step - 1) / step;
    const int32_t wanted = std::min(slotCount() * kBandsPerSlot, steps);
    std::unique_lock<std::mutex> job(jobLock_, std::defer_lock);
    if (threads_.empty() || wanted < 2 || !job.try_lock()) {
        work.call(work.object, 0, rows, 0);
        return;
    }
    Job posted;
    posted.work = work;
    posted.rows = rows;
    posted.bandRows = (steps + wanted - 1) / wanted * step;
    posted.bands = (rows + posted.bandRows - 1) / posted.bandRows;
    uint32_t generation = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        generation = ++generation_;
        job_ = posted;
        bandsDone_.store(0, std::memory_order_relaxed);
        nextBand_.store(claimWord(generation, 0), std::memory_order_release);
    }
    jobPosted_.notify_all();
    doBands(posted, generation, 0);
    waitForBands(posted.bands);
}

// The bands still running when the caller runs out of bands are most often
// a moment from done: it looks again for a short while before it sleeps, so
// that it keeps its core (a woken thread may wait for one on a busy
// machine).
void BandPool::waitForBands(int32_t bands) {
    const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    while (bandsDone_.load(std::memory_order_acquire) != bands) {
        if (std::chrono::steady_clock::now() < spinUntil) continue;
        std::unique_lock<std::mutex> hold(lock_);
        jobDone_.wait(hold, [&] { return bandsDone_.load(std::memory_order_acquire) == bands; });
        return;
    }
}

bool BandPool::claimBand(uint32_t generation, int32_t bands, int32_t* band) {
    uint64_t word = nextBand_.load(std::memory_order_acquire);
    for (;;) {
        const uint32_t next = static_cast<uint32_t>(word);
        if (static_cast<uint32_t>(word >> 32) != generation || next >= static_cast<uint32_t>(bands))
            return false;
        if (nextBand_.compare_exchange_weak(word, claimWord(generation, next + 1),
                                            std::memory_order_acq_rel)) {
            *band = static_cast<int32_t>(next);
            return true;
        }
    }
}

void BandPool::finishBand(int32_t bands) {
    if (bandsDone_.fetch_add(1, std::memory_order_acq_rel) + 1 != bands) return;
    // Under the lock, so that a caller about to wait cannot miss the notice.
    { std::lock_guard<std::mutex> hold(lock_); }
    jobDone_.notify_one();
}

void BandPool::doBands(const Job& job, uint32_t generation, int32_t slot) {
    int32_t band = 0;
    while (claimBand(generation, job.bands, &band)) {
        const int32_t first = band * job.bandRows;
        job.work.call(job.work.object, first, std::min(job.bandRows, job.rows - first), slot);
        finishBand(job.bands);
    }
}

void BandPool::workerLoop(int32_t slot) {
    uint32_t seen = 0;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> hold(lock_);
            jobPosted_.wait(hold, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            job = job_;
        }
        doBands(job, seen, slot);
    }
}

BandPool& pictureBandPool() {
    // Never destroyed: the sender thread may still be converting while the
    // process ends. In static storage: it is made whatever memory is left.
    alignas(BandPool) static unsigned char storage[sizeof(BandPool)];
    static BandPool* const pool = [] {
        const int32_t cores = static_cast<int32_t>(std::thread::hardware_concurrency());
        return new (storage) BandPool(std::clamp(cores - 1, 0, kMaxWorkers));
    }();
    return *pool;
}
