#include "transfer/transfer_work.h"

#include <boost/property_tree/ptree.hpp>

#include "event/work_log_manager.h"
#include "work/simple_work.h"
#include "work/work.h"

namespace halv {

void TransferWork::ObserveCompletion(Work& work) const {
  if (WorkLogManager* log = transfer_->GetBehavior().logManager) work.AddCompleteCallback(log);
}

void TransferWork::ObserveRetries(SimpleWork& work) const {
  if (WorkLogManager* log = transfer_->GetBehavior().logManager) work.AddRetryCallback(log);
}

void TransferWork::DescribeParams(boost::property_tree::ptree& tree, bool locked) const {
  if (locked) {
    transfer_->GetParams().Describe(tree);
  } else {
    transfer_->GetParamsRef().Describe(tree);
  }
}

}  // namespace halv
