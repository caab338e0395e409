#ifndef HALV_WORK_NO_OP_WORK_H_
#define HALV_WORK_NO_OP_WORK_H_

#include <boost/property_tree/ptree.hpp>

#include "work/simple_work.h"

namespace halv {

// A leaf that succeeds at once: the placeholder where a tree needs a work that does nothing.
// Ownership and threads as SimpleWork.
class NoOpWork : public SimpleWork {
 public:
  NoOpWork() = default;
  explicit NoOpWork(WorkCompleteCallback* callback) : SimpleWork(callback) {}

  // "name" = "NoOpWork".
  void Describe(boost::property_tree::ptree& tree) const override;
  // Success, no data.
  WorkStatus ExecuteTask() override;
  void Interrupt() override;
};

}  // namespace halv

#endif  // HALV_WORK_NO_OP_WORK_H_
