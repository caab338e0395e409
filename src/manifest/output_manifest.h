#ifndef HALV_MANIFEST_OUTPUT_MANIFEST_H_
#define HALV_MANIFEST_OUTPUT_MANIFEST_H_

#include <boost/property_tree/ptree_fwd.hpp>

namespace halv {

// Anything that describes itself into a property tree (node descriptions, node statistics).
// Ownership: held by shared pointers. Thread-safety: Write is const; implementations say
// whether it may run concurrently with their updates.
class OutputManifest {
 public:
  virtual ~OutputManifest() = default;

  // Puts the object's values into `tree`, replacing values stored under the same keys.
  virtual void Write(boost::property_tree::ptree& tree) const = 0;
};

}  // namespace halv

#endif  // HALV_MANIFEST_OUTPUT_MANIFEST_H_
