#include "work/asio_work_manager.h"

#include <exception>

#include <boost/asio/post.hpp>

#include "work/simple_work.h"
#include "work/work_status.h"
#include "work/workflow.h"

namespace halv {

AsioWorkManager::AsioWorkManager(std::uint32_t threadCount)
    : guard_(std::make_unique<WorkGuard>(service_.get_executor())), threadCount_(threadCount) {
  try {
    for (std::uint32_t i = 0; i < threadCount_; ++i) {
      threads_.create_thread([this] { service_.run(); });
    }
  } catch (...) {
    service_.stop();
    threads_.join_all();
    throw;
  }
}

AsioWorkManager::~AsioWorkManager() {
  service_.stop();
  threads_.join_all();
  guard_.reset();
}

void AsioWorkManager::Execute(const std::shared_ptr<SimpleWork>& work) {
  boost::asio::post(service_, [work] {
    try {
      const WorkStatus status = work->Execute();
      work->NotifyComplete(status);
    } catch (...) {
      // A standalone work has no one to report to; the pool thread must survive.
    }
  });
}

void AsioWorkManager::Execute(const std::shared_ptr<Workflow>& workflow,
                              const std::shared_ptr<SimpleWork>& work) {
  boost::asio::post(service_, [workflow, work] {
    try {
      const WorkStatus status = work->Execute();
      work->NotifyComplete(status);
      workflow->OnWorkExecuted(work, status);
    } catch (...) {
      try {
        workflow->Abort(WorkStatus(WorkResult::Error,
                                   std::make_shared<WorkExceptionData>(std::current_exception())));
      } catch (...) {
        // An observer of the root threw while hearing of the abort; the pool thread must survive.
      }
    }
  });
}

void AsioWorkManager::Drain() {
  guard_.reset();
  threads_.join_all();
}

}  // namespace halv
