#include "work/no_op_work.h"

namespace halv {

void NoOpWork::Describe(boost::property_tree::ptree& tree) const { tree.put("name", "NoOpWork"); }

WorkStatus NoOpWork::ExecuteTask() { return WorkStatus(WorkResult::Success); }

void NoOpWork::Interrupt() {}

}  // namespace halv
