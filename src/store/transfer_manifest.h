#ifndef HALV_STORE_TRANSFER_MANIFEST_H_
#define HALV_STORE_TRANSFER_MANIFEST_H_

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/input_manifest.h"
#include "manifest/output_manifest.h"
#include "transfer/transfer_params.h"

namespace halv {

// What the transfer store keeps of a started transfer: its ids and destination.
// A plain value, made and read by one thread at a time.
class TransferManifest : public InputManifest, public OutputManifest {
 public:
  TransferManifest() = default;
  explicit TransferManifest(const TransferParams& transferParams) : params(transferParams) {}

  // Replaces params with default params (stored false) filled from the string values of
  // "transferId", "partnerId", "packageId", "versionId" and "destPath", every one required.
  // Throws ManifestParseException, leaving params unchanged.
  void Read(const boost::property_tree::ptree& tree) override;
  // params.Describe(tree): the five keys in that order; stored is not written.
  // Throws ManifestParseException.
  void Write(boost::property_tree::ptree& tree) const override;

  TransferParams params;
};

}  // namespace halv

#endif  // HALV_STORE_TRANSFER_MANIFEST_H_
