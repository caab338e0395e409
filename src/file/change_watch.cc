#include "file/change_watch.h"

namespace halv {
namespace {

timespec ChangeTime(int descriptor) {
  struct stat status;
  if (fstat(descriptor, &status) != 0) ThrowLastFileError();
  return status.st_ctim;
}

bool operator!=(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec || a.tv_nsec != b.tv_nsec;
}

}  // namespace

void ChangeWatch::Stamp(int descriptor) {
  const timespec now = ChangeTime(descriptor);
  std::lock_guard<std::mutex> lock(mutex_);
  changed_ = now;
  moved_ = false;
}

bool ChangeWatch::Changed(int descriptor) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note(descriptor);
  return moved_;
}

void ChangeWatch::Note(int descriptor) {
  if (ChangeTime(descriptor) != changed_) moved_ = true;
}

void ChangeWatch::TakeNow(int descriptor) noexcept {
  struct stat status;
  // A file that cannot be told about now counts as changed.
  if (fstat(descriptor, &status) != 0) {
    moved_ = true;
    return;
  }
  changed_ = status.st_ctim;
}

}  // namespace halv
