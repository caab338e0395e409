#ifndef HALV_TRANSFER_TRANSFER_PARAMS_H_
#define HALV_TRANSFER_TRANSFER_PARAMS_H_

#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "work/work_descriptor.h"

namespace halv {

// What identifies a transfer: whose package, which version, where it goes, and the id under which
// it is known and stored. Every string not given reads "?"; a versionId of "?" asks for the
// package's current version, and destPath stays "?" until the transfer is started.
// A plain value, copied into every incarnation, chunk request and event; no synchronisation.
struct TransferParams : public WorkDescriptor {
  TransferParams();

  // "transferId", "partnerId", "packageId", "versionId", "destPath", in this order.
  void Describe(boost::property_tree::ptree& tree) const override;

  std::string transferId;  // 32 lowercase hexadecimal digits
  std::string partnerId;
  std::string packageId;
  std::string versionId;
  std::string destPath;
  bool stored = false;  // restored from the transfer store; never written out
};

// A fresh transfer id: a random version-4 UUID as 32 lowercase hexadecimal digits, no dashes.
// Any thread.
std::string NewTransferId();

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_PARAMS_H_
