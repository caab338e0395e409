#ifndef HALV_TESTS_SUPPORT_START_GATE_H_
#define HALV_TESTS_SUPPORT_START_GATE_H_

#include <condition_variable>
#include <mutex>

namespace halv::test {

// Holds every thread that calls Wait until Open, so that concurrency tests really run their
// threads side by side. Any thread may call either method.
class StartGate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_START_GATE_H_
