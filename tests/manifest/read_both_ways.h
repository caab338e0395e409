#ifndef HALV_TESTS_MANIFEST_READ_BOTH_WAYS_H_
#define HALV_TESTS_MANIFEST_READ_BOTH_WAYS_H_

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"

namespace halv::test {

// Reads the package document `xml` as the updater does, straight from its text, and checks that
// the tree of the same text reads alike: both accept it or both refuse it. Throws the stream
// reader's ManifestParseException.
inline StandardPackageManifest ReadBothWays(const std::string& xml) {
  bool treeAccepted = true;
  try {
    std::istringstream stream(xml);
    boost::property_tree::ptree tree;
    ParseXmlManifest(stream, tree);
    StandardPackageManifest fromTree;
    fromTree.Read(tree);
  } catch (const ManifestParseException&) {
    treeAccepted = false;
  }
  StandardPackageManifest manifest;
  std::istringstream stream(xml);
  try {
    manifest.ReadXml(stream);
  } catch (const ManifestParseException&) {
    EXPECT_FALSE(treeAccepted) << "the tree of the text reads, the text does not";
    throw;
  }
  EXPECT_TRUE(treeAccepted) << "the text reads, its tree does not";
  return manifest;
}

}  // namespace halv::test

#endif  // HALV_TESTS_MANIFEST_READ_BOTH_WAYS_H_
