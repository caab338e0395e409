#ifndef HALV_TESTS_SUPPORT_CHILD_PROCESS_H_
#define HALV_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <functional>
#include <string>

namespace halv::test {

// Runs `body` in a forked child, for changes that hold for a whole process (resource limits, a
// private mount namespace), and returns the text it produced ("" when all went well), with a
// note when the child died or failed. An exception in `body` becomes its text. Fork only from a
// test whose process runs no other threads that the child would need.
std::string RunInChild(const std::function<std::string()>& body);

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_CHILD_PROCESS_H_
