#ifndef HALV_FILE_FAULT_GUARD_H_
#define HALV_FILE_FAULT_GUARD_H_

#include <cstddef>

#include "file/file_exception.h"

namespace halv {

// Runs `body(context)` so that a SIGBUS or SIGSEGV raised by an access to `region`..`region` +
// `length` (a page of a mapped file that was truncated underneath, failed to read, or found the
// disk full) abandons the body, without unwinding its frames, and returns false instead of
// killing the process; true when the body returned. Faults at other addresses, outside guarded
// code or sent by another process go to the handler that was installed before ours. The
// handlers are installed the first time any thread gets here and stay for the life of the
// process. Any thread; guards may nest. `body` must not throw.
bool RunGuarded(const void* region, std::size_t length, void (*body)(void*),
                void* context) noexcept;

// RunGuarded with a callable; a fault, or an exception escaping from `body`, throws
// FileInvalidMapException. `body` must not own anything that needs cleaning up (locks,
// allocations) while it touches the region, since a fault abandons it without unwinding.
template <typename Body>
void RunGuardedOrThrow(const void* region, std::size_t length, Body& body) {
  struct Call {
    Body* body;
    bool threw;
    static void Run(void* context) noexcept {
      Call* call = static_cast<Call*>(context);
      try {
        (*call->body)();
      } catch (...) {
        call->threw = true;
      }
    }
  };
  Call call{&body, false};
  if (!RunGuarded(region, length, &Call::Run, &call) || call.threw) {
    throw FileInvalidMapException();
  }
}

}  // namespace halv

#endif  // HALV_FILE_FAULT_GUARD_H_
