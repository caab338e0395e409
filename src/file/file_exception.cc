#include "file/file_exception.h"

#include <cerrno>
#include <new>

namespace halv {

FileException::~FileException() = default;

const char* FileBadPathException::what() const noexcept { return "bad file path"; }
const char* FileInaccessibleException::what() const noexcept { return "file inaccessible"; }
const char* FileInUseException::what() const noexcept { return "file in use"; }
const char* FileInsufficientSpaceException::what() const noexcept {
  return "insufficient disk space";
}
const char* FileInvalidMapException::what() const noexcept { return "invalid file mapping"; }
const char* FileOutOfBoundsException::what() const noexcept {
  return "file position out of bounds";
}
const char* FileUnknownException::what() const noexcept { return "unknown file error"; }
const char* BadAllocation::what() const noexcept { return "bad allocation"; }

void ThrowFileError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
    case EILSEQ:
    case ENXIO:
    case ENODEV:
      throw FileBadPathException();
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // a folder where the file should be: it cannot be opened as one
      throw FileInaccessibleException();
    case ENOMEM:
      throw BadAllocation();
    case EEXIST:
    case EBUSY:
    case ETXTBSY:
    case EAGAIN:
    case EDEADLK:
    case ENOLCK:
      throw FileInUseException();
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      throw FileInsufficientSpaceException();
    default:
      throw FileUnknownException();
  }
}

void ThrowLastFileError() { ThrowFileError(errno); }

}  // namespace halv
