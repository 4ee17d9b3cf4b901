// A few worker threads, made once, that share the rows of one picture with
// the thread that asks. The copy into the mailbox and the conversions for the
// encoder treat every row (or pair of rows) on its own, so bands of rows can
// be done at the same time without changing a byte of the result.
//
// The asking thread never waits for a worker that has not started: it takes
// bands itself until none is left, and waits only for bands a worker is
// already doing. On a busy machine, where the workers find no core, the work
// is simply done on the asking thread, as it was without the pool. A second
// thread asking while a job runs does its whole job itself instead of
// waiting for the first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

class BandPool {
  public:
    // Starts `workers` threads (none: every job runs on its caller).
    explicit BandPool(int32_t workers);
    // Stops and joins the workers; no job may be running.
    ~BandPool();
    BandPool(const BandPool&) = delete;
    BandPool& operator=(const BandPool&) = delete;

    // Threads that may work on one job: the workers and the caller. Within a
    // job each runs under its own slot number, 0 to slotCount() - 1 (0 for
    // the caller), for scratch memory of its own; jobs that run at the same
    // time (one of them then on its caller alone) need scratch of their own.
    int32_t slotCount() const { return static_cast<int32_t>(threads_.size()) + 1; }

    // Runs work(firstRow, rowCount, slot) over bands that together cover rows
    // 0 to rows - 1 once each; every band but the last starts and ends on a
    // multiple of `step` rows. Returns when all bands are done.
    template <typename Work>
    void run(int32_t rows, int32_t step, Work&& work) {
        using Callable = std::remove_reference_t<Work>;
        runBands(rows, step, {&work, [](void* object, int32_t first, int32_t count, int32_t slot) {
                                  (*static_cast<Callable*>(object))(first, count, slot);
                              }});
    }

  private:
    struct BandWork {
        void* object;
        void (*call)(void* object, int32_t first, int32_t count, int32_t slot);
    };
    struct Job {
        BandWork work{nullptr, nullptr};
        int32_t rows = 0;
        int32_t bandRows = 0;
        int32_t bands = 0;
    };

    void runBands(int32_t rows, int32_t step, BandWork work);
    void workerLoop(int32_t slot);
    // Takes bands of job `generation` until none is left.
    void doBands(const Job& job, uint32_t generation, int32_t slot);
    bool claimBand(uint32_t generation, int32_t bands, int32_t* band);
    void waitForBands(int32_t bands);
    void finishBand(int32_t bands);

    std::mutex jobLock_;  // held by the one caller whose job the workers share
    std::mutex lock_;     // guards job_, generation_ and stopping_
    std::condition_variable jobPosted_;
    std::condition_variable jobDone_;
    Job job_;
    uint32_t generation_ = 0;
    bool stopping_ = false;
    // The job's generation in the high half, the next band to take in the
    // low half: a worker that woke for an earlier job cannot take a band of
    // this one.
    std::atomic<uint64_t> nextBand_{0};
    std::atomic<int32_t> bandsDone_{0};
    std::vector<std::thread> threads_;
};

// The engine's one pool, made at its first use and kept until the process
// ends: three workers, fewer on a machine with fewer than four cores.
BandPool& pictureBandPool();
