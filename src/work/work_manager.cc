#include "work/work_manager.h"

#include "work/simple_work.h"

namespace halv {

void WorkManager::Run(const std::shared_ptr<SimpleWork>& work) {
  work->Reset();
  Execute(work);
}

}  // namespace halv
