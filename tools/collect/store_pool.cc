#include "store_pool.h"

#include <utility>

namespace halv::collect {

StorePool::StorePool(const std::string& where, std::size_t size) {
  for (std::size_t i = 0; i < std::max<std::size_t>(size, 1); ++i) {
    stores_.push_back(OpenStore(where, OpenMode::CreateIfMissing));
  }
  for (auto& store : stores_) workers_.emplace_back([this, &store] { Work(*store); });
}

StorePool::~StorePool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void StorePool::Submit(std::function<void(Store&)> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
}

void StorePool::Work(Store& store) {
  for (;;) {
    std::function<void(Store&)> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job(store);
  }
}

}  // namespace halv::collect
