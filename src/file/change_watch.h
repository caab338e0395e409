#ifndef HALV_FILE_CHANGE_WATCH_H_
#define HALV_FILE_CHANGE_WATCH_H_

#include <sys/stat.h>
#include <time.h>

#include <mutex>

#include "file/file_exception.h"

namespace halv {

// Tells whether anyone but this process's writers changed an open file: each of our writes
// notes the file's change time before and after it, under one mutex, so a change time that
// moved between two writes of ours, or after the last one, was moved by someone else. Reading
// changes no change time, nor do flushes. The file system keeps change times at the grain of its
// clock's tick, so a write by another within the same tick as one of ours goes unseen: this is a
// net for a file of ours that another program writes into, not a lock against it.
// Ownership: shared by an open file and its windows. Thread-safety: any thread.
class ChangeWatch {
 public:
  // Runs `write`, one write of ours to `descriptor`, noting the change time around it. A
  // FileException of the write passes through; the change time is noted all the same.
  template <typename Write>
  void Around(int descriptor, Write&& write) {
    std::lock_guard<std::mutex> lock(mutex_);
    Note(descriptor);
    struct Restamp {
      ChangeWatch& watch;
      int descriptor;
      ~Restamp() { watch.TakeNow(descriptor); }
    } restamp{*this, descriptor};
    write();
  }
  // Takes the file as it is now as ours: after our own changes outside Around, and after the
  // caller has read every byte again and found it right.
  void Stamp(int descriptor);
  // Whether the file may have changed since our last write or Stamp.
  bool Changed(int descriptor);

 private:
  // Sets moved_ when the change time is not the one last taken. Guarded by mutex_.
  void Note(int descriptor);
  // Takes the change time now, without throwing. Guarded by mutex_.
  void TakeNow(int descriptor) noexcept;

  std::mutex mutex_;
  // Guarded by mutex_.
  timespec changed_{};
  bool moved_ = false;
};

}  // namespace halv

#endif  // HALV_FILE_CHANGE_WATCH_H_
