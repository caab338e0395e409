#include "store/transfer_manifest.h"

#include <exception>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {

void TransferManifest::Read(const boost::property_tree::ptree& tree) {
  TransferParams read;
  try {
    read.transferId = tree.get_child("transferId").get_value<std::string>();
    read.partnerId = tree.get_child("partnerId").get_value<std::string>();
    read.packageId = tree.get_child("packageId").get_value<std::string>();
    read.versionId = tree.get_child("versionId").get_value<std::string>();
    read.destPath = tree.get_child("destPath").get_value<std::string>();
  } catch (const std::exception& error) {
    throw ManifestParseException(std::string("transfer manifest: ") + error.what());
  }
  params = read;
}

void TransferManifest::Write(boost::property_tree::ptree& tree) const {
  try {
    params.Describe(tree);
  } catch (const std::exception& error) {
    throw ManifestParseException(std::string("transfer manifest: ") + error.what());
  }
}

}  // namespace halv
