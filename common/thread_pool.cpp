// ThreadPool: n workers that start jobs first in, first out.
//
// The queue and the stop flag live in a state object that every worker holds
// a reference to, so a worker abandoned by the destructor (its job outlasted
// the 2,000 ms wait) still finds them when the job ends, and then leaves.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "common/moorlib.h"

namespace hvm {

struct ThreadPoolState {
  explicit ThreadPoolState(bool deleteAfterRun) : deleteJobs(deleteAfterRun) {}

  const bool deleteJobs;

  std::mutex queueMutex;
  std::condition_variable queueEvent;  // with `signalled`: an auto-reset event
  bool signalled = false;
  bool wakeForStop = false;  // lets idle workers see the stop without their full wait
  std::deque<Job*> queue;

  std::mutex stopMutex;
  std::condition_variable workerEnded;
  bool stopping = false;
  int liveWorkers = 0;
};

namespace {

constexpr auto kJobWait = std::chrono::milliseconds(1000);
constexpr auto kStopWait = std::chrono::milliseconds(2000);

bool IsStopping(ThreadPoolState& state) {
  std::lock_guard<std::mutex> guard(state.stopMutex);
  return state.stopping;
}

// Waits for the queue event and takes the first job. Jobs remaining after it
// signal the event again so that one more worker wakes.
Job* TakeJob(ThreadPoolState& state) {
  std::unique_lock<std::mutex> guard(state.queueMutex);
  if (!state.queueEvent.wait_for(guard, kJobWait,
                                 [&] { return state.signalled || state.wakeForStop; }))
    return nullptr;
  if (!state.signalled) return nullptr;
  state.signalled = false;
  if (state.queue.empty()) return nullptr;
  Job* job = state.queue.front();
  state.queue.pop_front();
  if (!state.queue.empty()) {
    state.signalled = true;
    state.queueEvent.notify_one();
  }
  return job;
}

void WorkOnce(ThreadPoolState& state) {
  Job* job = TakeJob(state);
  if (job == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  job->Run();
  if (state.deleteJobs) delete job;
  std::this_thread::yield();
}

void WorkerLoop(std::shared_ptr<ThreadPoolState> state) {
  while (!IsStopping(*state)) {
    WorkOnce(*state);
    std::this_thread::yield();
  }
  std::lock_guard<std::mutex> guard(state->stopMutex);
  --state->liveWorkers;
  state->workerEnded.notify_all();
}

}  // namespace

ThreadPool::ThreadPool(int threadCount, int deleteJobs)
    : threadCount_(threadCount),
      state_(std::make_shared<ThreadPoolState>(deleteJobs != 0)),
      deleteJobs_(deleteJobs) {
  for (int i = 0; i < threadCount_; ++i) {
    // A thread that cannot be created is simply missing from the pool.
    try {
      threads_.emplace_back(WorkerLoop, state_);
      std::lock_guard<std::mutex> guard(state_->stopMutex);
      ++state_->liveWorkers;
    } catch (const std::system_error&) {
    }
  }
}

ThreadPool::~ThreadPool() {
  std::unique_lock<std::mutex> stopGuard(state_->stopMutex);
  state_->stopping = true;
  {
    // Idle workers need not sit out their one-second wait.
    std::lock_guard<std::mutex> queueGuard(state_->queueMutex);
    state_->wakeForStop = true;
    state_->queueEvent.notify_all();
  }
  const bool allEnded =
      state_->workerEnded.wait_for(stopGuard, kStopWait, [&] { return state_->liveWorkers == 0; });
  stopGuard.unlock();
  for (std::thread& thread : threads_) {
    if (allEnded) thread.join();
    else thread.detach();  // still inside a job: it ends on its own
  }
  threads_.clear();
  // Queued jobs are not run. When the pool owns its jobs it frees them, since
  // nobody else holds them any more.
  std::lock_guard<std::mutex> queueGuard(state_->queueMutex);
  if (deleteJobs_)
    for (Job* job : state_->queue) delete job;
  state_->queue.clear();
}

void ThreadPool::Assignment(Job* job) {
  if (job == nullptr) return;
  std::lock_guard<std::mutex> guard(state_->queueMutex);
  state_->queue.push_back(job);
  state_->signalled = true;
  state_->queueEvent.notify_one();
}

void ThreadPool::Work() { WorkOnce(*state_); }

int ThreadPool::IsStopping() { return hvm::IsStopping(*state_) ? 1 : 0; }

}  // namespace hvm
