#ifndef HALV_MANIFEST_INPUT_MANIFEST_H_
#define HALV_MANIFEST_INPUT_MANIFEST_H_

#include <boost/property_tree/ptree_fwd.hpp>

namespace halv {

// Anything that fills itself from a property tree: manifests, stored transfers, node lists.
// Ownership: held by shared pointers. Thread-safety: Read runs once, before the object is
// shared; implementations say what may be called concurrently afterwards.
class InputManifest {
 public:
  virtual ~InputManifest() = default;

  // Fills the object from `tree`. Throws an exception of the manifest family (usually
  // ManifestParseException) when the tree does not describe a valid object.
  virtual void Read(const boost::property_tree::ptree& tree) = 0;
};

}  // namespace halv

#endif  // HALV_MANIFEST_INPUT_MANIFEST_H_
