#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/moorlib.h"

namespace hvm {
namespace {

using namespace std::chrono_literals;

// Records its start in a shared log and counts its own destruction.
class RecordingJob : public Job {
 public:
  RecordingJob(int id, std::vector<int>& log, std::mutex& lock, std::atomic<int>& destroyed)
      : id_(id), log_(log), lock_(lock), destroyed_(destroyed) {}
  ~RecordingJob() override { ++destroyed_; }
  void Run() override {
    std::lock_guard<std::mutex> guard(lock_);
    log_.push_back(id_);
    ran = true;
  }
  std::atomic<bool> ran{false};

 private:
  int id_;
  std::vector<int>& log_;
  std::mutex& lock_;
  std::atomic<int>& destroyed_;
};

std::atomic<int> gGatedJobsDestroyed{0};

// Runs until released, then reports that it finished.
class GatedJob : public Job {
 public:
  ~GatedJob() override { ++gGatedJobsDestroyed; }
  void Run() override {
    started = true;
    std::unique_lock<std::mutex> guard(lock);
    released.wait(guard, [&] { return open; });
    finished = true;
  }
  void Release() {
    std::lock_guard<std::mutex> guard(lock);
    open = true;
    released.notify_all();
  }
  std::mutex lock;
  std::condition_variable released;
  bool open = false;
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
};

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ThreadPool, OneWorkerRunsJobsInAssignmentOrder) {
  std::vector<int> log;
  std::mutex lock;
  std::atomic<int> destroyed{0};
  RecordingJob a(1, log, lock, destroyed), b(2, log, lock, destroyed), c(3, log, lock, destroyed);
  {
    ThreadPool pool(1, 0);
    pool.Assignment(&a);
    pool.Assignment(&b);
    pool.Assignment(&c);
    ASSERT_TRUE(WaitFor([&] { return c.ran.load(); }));
  }
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(destroyed.load(), 0);  // without the flag the caller keeps ownership
}

TEST(ThreadPool, ManyWorkersRunEveryJobOnce) {
  std::vector<int> log;
  std::mutex lock;
  std::atomic<int> destroyed{0};
  {
    ThreadPool pool(4, 1);
    for (int i = 0; i < 200; ++i) pool.Assignment(new RecordingJob(i, log, lock, destroyed));
    ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 200; }));
  }
  std::vector<int> sorted = log;
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(sorted.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(sorted[i], i);
}

TEST(ThreadPool, DeleteFlagDestroysEachJobAfterItsWork) {
  std::vector<int> log;
  std::mutex lock;
  std::atomic<int> destroyed{0};
  ThreadPool pool(1, 1);
  pool.Assignment(new RecordingJob(1, log, lock, destroyed));
  pool.Assignment(new RecordingJob(2, log, lock, destroyed));
  ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 2; }));
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(log, (std::vector<int>{1, 2}));
}

TEST(ThreadPool, StopWaitsForAShortJob) {
  GatedJob job;
  std::thread releaser;
  {
    ThreadPool pool(1, 0);
    pool.Assignment(&job);
    ASSERT_TRUE(WaitFor([&] { return job.started.load(); }));
    releaser = std::thread([&] {
      std::this_thread::sleep_for(200ms);
      job.Release();
    });
  }  // the destructor waits: the job ends well inside 2,000 ms
  EXPECT_TRUE(job.finished.load());
  releaser.join();
}

TEST(ThreadPool, StopAbandonsAJobThatOutlastsTheWait) {
  std::vector<int> log;
  std::mutex lock;
  std::atomic<int> destroyed{0};
  auto* blocker = new GatedJob;
  const int gatedBefore = gGatedJobsDestroyed.load();
  const auto begin = std::chrono::steady_clock::now();
  {
    ThreadPool pool(1, 1);
    pool.Assignment(blocker);
    ASSERT_TRUE(WaitFor([&] { return blocker->started.load(); }));
    pool.Assignment(new RecordingJob(7, log, lock, destroyed));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 1900ms);  // it waited before giving up
  EXPECT_FALSE(blocker->finished.load());
  // The pool owned the queued job: freed, never run.
  EXPECT_EQ(destroyed.load(), 1);
  // The abandoned worker finishes its job after the pool is gone, frees it
  // and leaves without starting anything else.
  blocker->Release();
  EXPECT_TRUE(WaitFor([&] { return gGatedJobsDestroyed.load() == gatedBefore + 1; }));
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace hvm
