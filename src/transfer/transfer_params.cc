#include "transfer/transfer_params.h"

#include <algorithm>

#include <boost/property_tree/ptree.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "config/not_given.h"

namespace halv {

TransferParams::TransferParams()
    : transferId(kNotGiven),
      partnerId(kNotGiven),
      packageId(kNotGiven),
      versionId(kNotGiven),
      destPath(kNotGiven) {}

void TransferParams::Describe(boost::property_tree::ptree& tree) const {
  tree.put("transferId", transferId);
  tree.put("partnerId", partnerId);
  tree.put("packageId", packageId);
  tree.put("versionId", versionId);
  tree.put("destPath", destPath);
}

std::string NewTransferId() {
  // A generator newly made, and seeded over its whole state from the system's entropy, for every
  // id, so that no id depends on a shared engine or on a 32-bit seed.
  boost::uuids::random_generator_mt19937 generator;
  std::string text = boost::uuids::to_string(generator());
  text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
  return text;
}

}  // namespace halv
