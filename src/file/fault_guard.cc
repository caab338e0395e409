#include "file/fault_guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace halv {
namespace {

// One guarded call on one thread's stack; the innermost is reached through tInnermost.
struct Guard {
  sigjmp_buf jump;
  std::uintptr_t begin;
  std::uintptr_t end;
  Guard* outer;
};

// Zero-initialised and without a constructor, so reading it from a signal handler allocates
// nothing.
thread_local Guard* tInnermost = nullptr;

struct sigaction gPreviousBus;
struct sigaction gPreviousSegv;

// Hands a fault we do not own to whoever handled it before us, or ends the process the way the
// default action would have.
void Forward(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = signal == SIGBUS ? gPreviousBus : gPreviousSegv;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler == SIG_IGN && info->si_code <= 0) return;
  if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
    // An ignored fault would repeat forever, so both end the process: put the default back and
    // let the faulting instruction run again (a signal sent with kill is raised again instead).
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    if (info->si_code <= 0) raise(signal);
    return;
  }
  previous.sa_handler(signal);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  // Only faults the kernel raised for an access have a meaningful address (si_code > 0).
  if (info->si_code > 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Guard* guard = tInnermost; guard != nullptr; guard = guard->outer) {
      if (address >= guard->begin && address < guard->end) {
        tInnermost = guard->outer;
        // Back to the mask the guarded code ran with: whoever called us (the kernel, or a
        // sanitizer's wrapper) may have blocked signals for the handler's sake.
        pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t*>(context)->uc_sigmask, nullptr);
        siglongjmp(guard->jump, 1);
      }
    }
  }
  Forward(signal, info, context);
}

void Install() {
  struct sigaction action = {};
  action.sa_sigaction = &OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  // Read the previous handlers first: a fault may arrive the moment ours is in place.
  sigaction(SIGBUS, nullptr, &gPreviousBus);
  sigaction(SIGSEGV, nullptr, &gPreviousSegv);
  sigaction(SIGBUS, &action, nullptr);
  sigaction(SIGSEGV, &action, nullptr);
}

std::once_flag gInstalled;

}  // namespace

bool RunGuarded(const void* region, std::size_t length, void (*body)(void*),
                void* context) noexcept {
  std::call_once(gInstalled, &Install);
  Guard guard;
  guard.begin = reinterpret_cast<std::uintptr_t>(region);
  guard.end = guard.begin + length;
  guard.outer = tInnermost;
  // The mask is not saved here (that would cost a system call per access); the handler restores
  // it from the interrupted context before jumping back.
  if (sigsetjmp(guard.jump, 0) != 0) return false;
  tInnermost = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  body(context);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  tInnermost = guard.outer;
  return true;
}

}  // namespace halv
