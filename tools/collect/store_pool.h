#ifndef HALV_TOOLS_COLLECT_STORE_POOL_H_
#define HALV_TOOLS_COLLECT_STORE_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collect_store.h"

namespace halv::collect {

// A fixed number of store connections, each used by a worker thread of its own, so that a
// slow write never holds up the HTTP thread and several posts are stored at once.
// Ownership: owns the connections and the workers. Threads: Submit from any thread; each job
// runs on one worker with that worker's connection; the destructor (on the owner's thread) runs
// every job already submitted, then joins the workers.
class StorePool {
 public:
  // Opens `size` (at least 1) connections to `where`, the first one creating or migrating the
  // layout. Throws DatabaseError when any cannot be opened.
  StorePool(const std::string& where, std::size_t size);
  ~StorePool();
  StorePool(const StorePool&) = delete;
  StorePool& operator=(const StorePool&) = delete;

  void Submit(std::function<void(Store&)> job);

 private:
  void Work(Store& store);

  std::vector<std::unique_ptr<Store>> stores_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void(Store&)>> jobs_;  // guarded by mutex_
  bool stopping_ = false;                         // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_STORE_POOL_H_
