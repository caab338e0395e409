#ifndef HALV_STORE_MANIFEST_SINK_H_
#define HALV_STORE_MANIFEST_SINK_H_

#include <iosfwd>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/manifest_source.h"

namespace halv {

class OutputManifest;

// Where manifest text goes and how a property tree becomes text: the writing half of a store,
// the mirror of ManifestSource. Ownership: by the store that uses it. Thread-safety: as the
// implementation says.
class ManifestSink {
 public:
  ManifestSink() = default;
  ManifestSink(const ManifestSink&) = delete;
  ManifestSink& operator=(const ManifestSink&) = delete;
  virtual ~ManifestSink() = default;

  // Writes the text of `tree` into `stream`. Throws ManifestParseException.
  virtual void Format(const boost::property_tree::ptree& tree, std::ostream& stream) = 0;
  // Persists the whole text of `stream` under `key`. Throws a manifest exception.
  virtual void Store(std::istream& stream, const std::string& key) = 0;

  // manifest.Write into an empty tree, Format into a new string stream, then Store; every
  // exception passes through unchanged.
  void Save(const std::string& key, const OutputManifest& manifest);
};

// Both halves of a store: reads manifests back from where it writes them.
class ManifestStoreImpl : public ManifestSource, public ManifestSink {};

}  // namespace halv

#endif  // HALV_STORE_MANIFEST_SINK_H_
