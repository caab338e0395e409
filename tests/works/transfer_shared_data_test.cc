#include "works/transfer_shared_data.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

namespace halv {
namespace {

using boost::property_tree::ptree;
using Entry = std::pair<std::string, std::string>;

std::vector<Entry> Entries(const ptree& tree) {
  std::vector<Entry> entries;
  for (const auto& child : tree) entries.emplace_back(child.first, child.second.data());
  return entries;
}

TEST(TransferSharedMapDataTest, DescribesTheFileThenTheChunk) {
  auto file = std::make_shared<TransferSharedFileData>("bin/app.exe", 5000000);
  TransferSharedMapData chunk(file, 1048576, 2097151, 0x000abc12u, nullptr);
  chunk.fileProgressBytes = 300;
  EXPECT_EQ(chunk.GetLength(), 1048576u);
  ptree tree;
  chunk.Describe(tree);
  EXPECT_EQ(Entries(tree), (std::vector<Entry>{{"filePath", "bin/app.exe"},
                                               {"fileSize", "5000000"},
                                               {"lowerBound", "1048576"},
                                               {"upperBound", "2097151"},
                                               {"expectedChecksum", "abc12"},
                                               {"fileProgressBytes", "300"}}));
  EXPECT_EQ(chunk.lastStatus.result, HttpRequestResult::NotStarted);
  EXPECT_EQ(chunk.badNodeMask | chunk.badNodeCount | chunk.nodeIndex, 0u);
}

}  // namespace
}  // namespace halv
