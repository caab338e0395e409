#ifndef HALV_TESTS_SUPPORT_LAUNCH_RECORD_H_
#define HALV_TESTS_SUPPORT_LAUNCH_RECORD_H_

#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "temp_dir.h"

namespace halv::test {

// Copies the program at `from` (the record_launch helper) to `to`, with its folders, runnable.
inline void InstallProgram(const std::string& from, const std::string& to) {
  namespace fs = boost::filesystem;
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(
      to, fs::owner_all | fs::group_read | fs::group_exe | fs::others_read | fs::others_exe);
}

// What record_launch (or a stand-in opener) wrote: its working folder, then its arguments.
// Empty when nothing was written.
inline std::vector<std::string> ReadLaunchRecord(const std::string& path) {
  const std::string text = ReadFile(path);
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(text.substr(start, end - start));
  }
  return fields;
}

// The folder as getcwd reports it: symbolic links resolved.
inline std::string CanonicalFolder(const std::string& folder) {
  return boost::filesystem::canonical(folder).string();
}

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_LAUNCH_RECORD_H_
