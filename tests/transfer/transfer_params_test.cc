#include "transfer/transfer_params.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "transfer/transfer_error.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

std::vector<std::pair<std::string, std::string>> Entries(const ptree& tree) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& child : tree) entries.emplace_back(child.first, child.second.data());
  return entries;
}

TEST(TransferParamsTest, DefaultParamsDescribeFiveNotGivenValuesInOrder) {
  const TransferParams params;
  EXPECT_FALSE(params.stored);
  ptree tree;
  params.Describe(tree);
  EXPECT_EQ(Entries(tree), (std::vector<std::pair<std::string, std::string>>{{"transferId", "?"},
                                                                             {"partnerId", "?"},
                                                                             {"packageId", "?"},
                                                                             {"versionId", "?"},
                                                                             {"destPath", "?"}}));
}

TEST(TransferParamsTest, DescribeWritesTheValuesButNotTheStoredFlag) {
  TransferParams params;
  params.transferId = "0123456789abcdef0123456789abcdef";
  params.partnerId = "R";
  params.packageId = "abc";
  params.versionId = "7";
  params.destPath = "/home/u/Downloads/abc";
  params.stored = true;
  ptree tree;
  params.Describe(tree);
  EXPECT_EQ(Entries(tree), (std::vector<std::pair<std::string, std::string>>{
                               {"transferId", "0123456789abcdef0123456789abcdef"},
                               {"partnerId", "R"},
                               {"packageId", "abc"},
                               {"versionId", "7"},
                               {"destPath", "/home/u/Downloads/abc"}}));
}

TEST(NewTransferIdTest, GivesDistinctVersionFourIdsOfLowercaseHexDigits) {
  const std::string first = NewTransferId();
  const std::string second = NewTransferId();
  EXPECT_NE(first, second);
  for (const std::string& id : {first, second}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(id[12], '4');
    // The variant bits 10: the 17th digit is 8, 9, a or b.
    EXPECT_NE(std::string("89ab").find(id[16]), std::string::npos);
  }
}

TEST(TransferErrorTest, IsWrittenAsItsDecimalNumber) {
  std::ostringstream text;
  text << TransferError::UnknownError << "|" << TransferError::None;
  EXPECT_EQ(text.str(), "9|0");
  ptree tree;
  tree.put("transferError", TransferError::ChecksumError);
  EXPECT_EQ(tree.get<std::string>("transferError"), "6");
}

TEST(TransferErrorTest, EveryHttpResultMapsToItsError) {
  const std::pair<int, TransferError> table[] = {
      {0, TransferError::UnknownError},
      {1, TransferError::UnknownError},
      {2, TransferError::None},
      {3, TransferError::None},
      {4, TransferError::RequestError},
      {5, TransferError::ConnectionError},
      {6, TransferError::ConnectionError},
      {7, TransferError::ConnectionError},
      {8, TransferError::ConnectionError},
      {9, TransferError::ConnectionError},
      {10, TransferError::FileError},
      {11, TransferError::ConnectionError},
      {12, TransferError::ConnectionError},
      {13, TransferError::InsufficientMemory},
      {14, TransferError::RequestError},
      {15, TransferError::UnknownError},
      {255, TransferError::UnknownError},
  };
  for (const auto& [number, error] : table) {
    SCOPED_TRACE(number);
    EXPECT_EQ(ToTransferError(static_cast<HttpRequestResult>(number)), error);
  }
}

}  // namespace
}  // namespace halv
