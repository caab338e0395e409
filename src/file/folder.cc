#include "file/folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <boost/filesystem.hpp>

#include "file/file_exception.h"

namespace halv {
namespace {

// The folder's absolute path without links, as people know it; the path as given when that
// cannot be worked out.
std::string Absolute(const std::string& path) {
  boost::system::error_code error;
  const boost::filesystem::path canonical = boost::filesystem::canonical(path, error);
  return error ? path : canonical.string();
}

}  // namespace

int OpenFolderDescriptor(const std::string& path) {
  int descriptor;
  do {
    descriptor = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    if (errno == ENOTDIR || errno == ENOENT) throw FileBadPathException();
    ThrowLastFileError();
  }
  return descriptor;
}

std::shared_ptr<const Folder> Folder::Open(const std::string& path) {
  const int descriptor = OpenFolderDescriptor(path);
  return std::shared_ptr<const Folder>(new Folder(descriptor, path));
}

Folder::Folder(int descriptor, const std::string& path)
    : descriptor_(descriptor), path_(Absolute(path)) {}

Folder::~Folder() { close(descriptor_); }

}  // namespace halv
