#include "works/transfer_shared_data.h"

#include <sstream>

#include <boost/property_tree/ptree.hpp>

namespace halv {

void TransferSharedFileData::Describe(boost::property_tree::ptree& tree) const {
  tree.put("filePath", filePath);
  tree.put("fileSize", fileSize);
}

void TransferSharedMapData::Describe(boost::property_tree::ptree& tree) const {
  if (fileData) fileData->Describe(tree);
  tree.put("lowerBound", lowerBound);
  tree.put("upperBound", upperBound);
  std::ostringstream checksum;
  checksum << std::hex << expectedChecksum;
  tree.put("expectedChecksum", checksum.str());
  tree.put("fileProgressBytes", fileProgressBytes);
}

}  // namespace halv
