#ifndef HALV_WORK_WORK_DESCRIPTOR_H_
#define HALV_WORK_WORK_DESCRIPTOR_H_

#include <boost/property_tree/ptree.hpp>

namespace halv {

// Anything that can describe itself for the work log and analytics: statuses, status data, works.
// Keys are plain names; nested objects are child trees.
// Thread-safety: Describe may be called from any thread; implementations that read mutable state
// guard it themselves.
class WorkDescriptor {
 public:
  virtual ~WorkDescriptor() = default;

  // Writes this object's description into `tree`, adding to what is there.
  virtual void Describe(boost::property_tree::ptree& tree) const = 0;
};

}  // namespace halv

#endif  // HALV_WORK_WORK_DESCRIPTOR_H_
