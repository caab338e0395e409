#ifndef HALV_WORKS_TRANSFER_WORKFLOW_FACTORY_H_
#define HALV_WORKS_TRANSFER_WORKFLOW_FACTORY_H_

#include <memory>

namespace halv {

class TransferWorkInterface;
class Workflow;

// Makes the workflow that runs one transfer's whole package.
// Ownership: one factory made by the assembly, shared by every transfer. Thread-safety: any.
class TransferWorkflowFactory {
 public:
  virtual ~TransferWorkflowFactory() = default;

  // A new workflow, not started, over a new tree for `transfer`.
  virtual std::shared_ptr<Workflow> CreateWorkflow(
      const std::shared_ptr<TransferWorkInterface>& transfer) = 0;
};

// A StandardWorkflow over a TransferPackageWork, on the behaviour's work manager with the
// configured workflow concurrency. No state.
class StandardTransferWorkflowFactory : public TransferWorkflowFactory {
 public:
  std::shared_ptr<Workflow> CreateWorkflow(
      const std::shared_ptr<TransferWorkInterface>& transfer) override;
};

}  // namespace halv

#endif  // HALV_WORKS_TRANSFER_WORKFLOW_FACTORY_H_
