#ifndef HALV_TRANSFER_TRANSFER_WORK_H_
#define HALV_TRANSFER_TRANSFER_WORK_H_

#include <memory>
#include <utility>

#include <boost/property_tree/ptree_fwd.hpp>

#include "transfer/transfer_work_interface.h"

namespace halv {

class SimpleWork;
class Work;

// The base of every work that moves a package, used beside the engine base of each work.
// It keeps the transfer's work interface (and through it the incarnation's data) alive while the
// work exists.
// Ownership: part of the work, which is held by shared pointers.
// Thread-safety: the interface pointer is constant after construction.
class TransferWork {
 public:
  explicit TransferWork(std::shared_ptr<TransferWorkInterface> transfer)
      : transfer_(std::move(transfer)) {}
  virtual ~TransferWork() = default;

 protected:
  // Registers the behaviour's work log manager, when there is one, as a completion observer of
  // `work` (after any observer the work registered before), and for retrying works as a retry
  // observer too. Each work's constructor calls them after registering any callback of the
  // interface, so that the transfer hears of a completion before the log does.
  void ObserveCompletion(Work& work) const;
  void ObserveRetries(SimpleWork& work) const;

  // Writes the transfer's params into `tree`: a copy taken under the transfer's lock when
  // `locked`, otherwise the unlocked reference.
  void DescribeParams(boost::property_tree::ptree& tree, bool locked) const;

  const std::shared_ptr<TransferWorkInterface> transfer_;
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_WORK_H_
