#include "works/transfer_workflow_factory.h"

#include <algorithm>

#include "transfer/transfer_work_interface.h"
#include "work/standard_workflow.h"
#include "works/package_works.h"

namespace halv {

std::shared_ptr<Workflow> StandardTransferWorkflowFactory::CreateWorkflow(
    const std::shared_ptr<TransferWorkInterface>& transfer) {
  const TransferBehavior& behavior = transfer->GetBehavior();
  auto top = TransferPackageWork::Create(transfer);
  return StandardWorkflow::Create(top, behavior.workManager,
                                  std::max(1, behavior.settings.workflowConcurrency));
}

}  // namespace halv
