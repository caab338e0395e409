#ifndef HALV_TESTS_SUPPORT_PTREE_ENTRIES_H_
#define HALV_TESTS_SUPPORT_PTREE_ENTRIES_H_

#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

namespace halv::test {

using Entry = std::pair<std::string, std::string>;

// The top-level keys and values of `tree` in order, so a test can compare a description whole.
inline std::vector<Entry> Entries(const boost::property_tree::ptree& tree) {
  std::vector<Entry> entries;
  for (const auto& child : tree) entries.emplace_back(child.first, child.second.data());
  return entries;
}

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_PTREE_ENTRIES_H_
