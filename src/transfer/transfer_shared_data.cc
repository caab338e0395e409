#include "transfer/transfer_shared_data.h"

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
  tree.put("fileProgressBytes", fileProgressBytes.load());
}

void TransferSharedMapData::Prepare() {
  received.reset();
  if (!boundedData) return;
  boundedData->Seek(lowerBound);
  if (fileProgressBytes != 0) {
    if (progressUpdater) progressUpdater->RemoveTransferredBytes(fileProgressBytes);
    fileProgressBytes = 0;
  }
}

void TransferSharedMapData::Settle() {
  const std::uint64_t length = GetLength();
  if (progressUpdater) {
    if (fileProgressBytes < length) {
      progressUpdater->AddTransferredBytes(length - fileProgressBytes);
    } else if (fileProgressBytes > length) {
      progressUpdater->RemoveTransferredBytes(fileProgressBytes - length);
    }
    if (!completedCounted) progressUpdater->AddCompletedBytes(length);
  }
  completedCounted = true;
  fileProgressBytes = length;
}

void TransferSharedMapData::Discard() {
  boundedData.reset();
  received.reset();
  {
    // The pipeline runs again over the chunk: it checks what is on disk afresh, and may race.
    std::lock_guard<std::mutex> lock(race.mutex);
    race.verified = false;
    race.racerWon = false;
    race.raced = false;
  }
  if (fileProgressBytes != 0 && progressUpdater) {
    progressUpdater->RemoveTransferredBytes(fileProgressBytes);
  }
  fileProgressBytes = 0;
}

}  // namespace halv
