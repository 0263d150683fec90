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

struct JobLog {
  std::mutex lock;
  std::vector<int> started;
  std::atomic<int> destroyed{0};
};

// Notes its start in the log and its destruction.
class RecordingJob : public Job {
 public:
  RecordingJob(int id, JobLog& log) : id_(id), log_(log) {}
  ~RecordingJob() override { ++log_.destroyed; }
  void Run() override {
    std::lock_guard<std::mutex> guard(log_.lock);
    log_.started.push_back(id_);
  }

 private:
  int id_;
  JobLog& log_;
};

std::atomic<int> gGatedJobsDestroyed{0};

// Runs until released.
class GatedJob : public Job {
 public:
  ~GatedJob() override { ++gGatedJobsDestroyed; }
  void Run() override {
    started = true;
    std::unique_lock<std::mutex> guard(lock_);
    released_.wait(guard, [&] { return open_; });
    finished = true;
  }
  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    released_.notify_all();
  }
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};

 private:
  std::mutex lock_;
  std::condition_variable released_;
  bool open_ = false;
};

template <typename Predicate>
bool WaitFor(Predicate done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ThreadPool, OneWorkerRunsJobsInAssignmentOrderAndCallerKeepsThem) {
  JobLog log;
  RecordingJob a(1, log), b(2, log), c(3, log);
  {
    ThreadPool pool(1, 0);
    for (Job* job : {static_cast<Job*>(&a), static_cast<Job*>(&b), static_cast<Job*>(&c)})
      pool.Assignment(job);
    ASSERT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> guard(log.lock);
      return log.started.size() == 3;
    }));
  }
  EXPECT_EQ(log.started, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(log.destroyed.load(), 0);  // without the delete flag the jobs stay the caller's
}

TEST(ThreadPool, DeleteFlagFreesEveryJobAfterItsWork) {
  JobLog log;
  {
    ThreadPool pool(4, 1);
    for (int i = 0; i < 200; ++i) pool.Assignment(new RecordingJob(i, log));
    ASSERT_TRUE(WaitFor([&] { return log.destroyed.load() == 200; }));
  }
  std::sort(log.started.begin(), log.started.end());
  ASSERT_EQ(log.started.size(), 200u);  // each job ran exactly once
  for (int i = 0; i < 200; ++i) EXPECT_EQ(log.started[i], i);
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
  }  // the job ends well inside the 2,000 ms the destructor waits
  EXPECT_TRUE(job.finished.load());
  releaser.join();
}

TEST(ThreadPool, StopAbandonsAJobThatOutlastsTheWait) {
  JobLog log;
  auto* blocker = new GatedJob;
  const int gatedBefore = gGatedJobsDestroyed.load();
  const auto begin = std::chrono::steady_clock::now();
  {
    ThreadPool pool(1, 1);
    pool.Assignment(blocker);
    ASSERT_TRUE(WaitFor([&] { return blocker->started.load(); }));
    pool.Assignment(new RecordingJob(7, log));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 1900ms);  // it waited before giving up
  EXPECT_FALSE(blocker->finished.load());
  EXPECT_EQ(log.destroyed.load(), 1);  // the queued job the pool owned: freed, never run
  // The abandoned worker finishes after the pool is gone, frees its job and
  // leaves without starting anything else.
  blocker->Release();
  EXPECT_TRUE(WaitFor([&] { return gGatedJobsDestroyed.load() == gatedBefore + 1; }));
  std::lock_guard<std::mutex> guard(log.lock);
  EXPECT_TRUE(log.started.empty());
}

}  // namespace
}  // namespace hvm
