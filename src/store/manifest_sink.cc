#include "store/manifest_sink.h"

#include <sstream>

#include <boost/property_tree/ptree.hpp>

#include "manifest/output_manifest.h"

namespace halv {

void ManifestSink::Save(const std::string& key, const OutputManifest& manifest) {
  boost::property_tree::ptree tree;
  manifest.Write(tree);
  std::stringstream stream;
  Format(tree, stream);
  Store(stream, key);
}

}  // namespace halv
