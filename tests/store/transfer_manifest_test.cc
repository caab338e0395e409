#include "store/transfer_manifest.h"

#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

TEST(TransferManifestTest, ReadsEveryKeyAndResetsTheStoredFlag) {
  ptree tree;
  tree.put("destPath", "/d");
  tree.put("versionId", "v");
  tree.put("packageId", "pk");
  tree.put("partnerId", "pa");
  tree.put("transferId", "t");
  TransferManifest manifest;
  manifest.params.stored = true;
  manifest.Read(tree);
  EXPECT_EQ(manifest.params.transferId, "t");
  EXPECT_EQ(manifest.params.partnerId, "pa");
  EXPECT_EQ(manifest.params.packageId, "pk");
  EXPECT_EQ(manifest.params.versionId, "v");
  EXPECT_EQ(manifest.params.destPath, "/d");
  EXPECT_FALSE(manifest.params.stored);

  ptree written;
  manifest.Write(written);
  ptree expected;
  for (const char* key : {"transferId", "partnerId", "packageId", "versionId", "destPath"}) {
    expected.put(key, tree.get<std::string>(key));
  }
  EXPECT_EQ(written, expected);
}

TEST(TransferManifestTest, AMissingKeyFailsAndLeavesTheParams) {
  for (const char* missing : {"transferId", "partnerId", "packageId", "versionId", "destPath"}) {
    TransferParams params;
    params.transferId = "t";
    params.partnerId = "pa";
    params.packageId = "pk";
    params.versionId = "v";
    params.destPath = "/d";
    ptree tree;
    params.Describe(tree);
    tree.erase(missing);
    TransferManifest manifest;
    manifest.params.destPath = "before";
    EXPECT_THROW(manifest.Read(tree), ManifestParseException) << missing;
    EXPECT_EQ(manifest.params.destPath, "before") << missing;
  }
}

}  // namespace
}  // namespace halv
