#include "app/updater_entry.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/cache_layout.h"
#include "app/gtk_loader.h"
#include "app/launcher.h"
#include "app/startup_parameters.h"
#include "app/terminal_view.h"
#include "file/paths.h"
#include "locale/custom_boost_locale.h"
#include "locale/embedded_message_catalog.h"
#include "locale/messages.h"
#include "platform/system.h"

namespace halv {
namespace Updater {
namespace {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void WriteLine(int fd, const std::string& text) {
  const std::string line = text + "\n";
  // The notice is best effort: a closed descriptor only loses it.
  [[maybe_unused]] const ssize_t written = write(fd, line.data(), line.size());
}

// Ctrl-C and SIGTERM end the run as the window's close button does: the transfers are suspended,
// so the next run resumes them, and a line on the error stream says so. Made on the main thread
// before any other thread, which then all inherit the blocked signals; one thread of its own
// takes them.
class SignalWatch {
 public:
  SignalWatch() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
  }
  ~SignalWatch() {
    Stop();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // From now on a signal closes `dialog` through `view` (on the GUI thread).
  void Start(View& view, Dialog& dialog, int errorFd) {
    thread_ = std::thread([this, &view, &dialog, errorFd] {
      int signal = 0;
      if (sigwait(&signals_, &signal) != 0 || signal == SIGUSR1) return;
      taken_ = signal;
      WriteLine(errorFd, std::string("halvane-updater: ") +
                             (signal == SIGINT ? "interrupted" : "terminated") +
                             "; the download is kept and the next run resumes it");
      view.Post([&dialog] { dialog.OnCloseRequested(); });
    });
  }
  // Joins the thread; before the dialog and the view go.
  void Stop() {
    if (!thread_.joinable()) return;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }
  // The signal that closed the run; 0 when none did.
  int taken() const { return taken_; }

 private:
  sigset_t signals_;
  sigset_t previous_;
  std::thread thread_;
  std::atomic<int> taken_{0};
};

}  // namespace

EntryEnvironment EntryEnvironment::Process() {
  EntryEnvironment environment;
  environment.folders = UserFolders::Process();
  environment.processorCount = GetProcessorCount();
  environment.moduleFolder = FolderOf(GetExecutablePath());
  environment.runAsRoot = geteuid() == 0;
  environment.launch = &Launch;
  return environment;
}

int RunUpdater(int* argc, char*** argv, const StringResourceTable& resources,
               const EntryEnvironment& environment, const TransferBackendFactory& makeBackend) {
  const std::vector<std::string> arguments(*argv, *argv + *argc);
  const StartupParameters startup(resources, arguments, environment.folders);
  const Settings settings = BuildSettings(startup, environment.processorCount);

  SignalWatch signals;
  const EmbeddedMessageCatalog catalog;
  CustomBoostLocale locale(catalog, std::string());
  if (!startup.languages().empty()) locale.SetLanguage(startup.defaultLanguage());

  // The program is started with the updater's own rights, so a run as root starts it as root.
  if (environment.runAsRoot) WriteLine(environment.error, locale.Translate(messages::kRootNotice));

  // GTK is initialised before any other thread exists.
  std::unique_ptr<View> view;
  std::string noWindow;
  if (environment.tryWindow) view = OpenGtkView(environment.moduleFolder, argc, argv, &noWindow);
  if (!view) {
    view = std::make_unique<TerminalView>(environment.input, environment.output, environment.error);
  }

  // The folders are made, and an earlier release's state moved into them, before the backend,
  // whose work log and publication record lie there: a line logged before the folder exists
  // (the root notice, the missing window) would be lost, and a record left behind would let
  // documents older than accepted ones through.
  std::string unusableFolder;
  bool dataFolderReady = startup.CheckDataFolder(&unusableFolder);
  if (dataFolderReady && !MoveCacheLayout(startup.cacheLayoutFolder(), startup.stateFolder())) {
    dataFolderReady = false;
    unusableFolder = startup.stateFolder();
  }
  std::unique_ptr<TransferBackend> backend = makeBackend(settings);
  // With a display the user expects a window: started from a menu, a terminal run is invisible,
  // so the reason goes to stderr and into the work log, where it can be found.
  if (environment.tryWindow && !noWindow.empty() && noWindow != kNoDisplay) {
    const std::string notice = "no window, running on the terminal: " + noWindow;
    WriteLine(environment.error, "halvane-updater: " + notice);
    backend->LogNotice("NoWindow", notice);
  }
  std::unique_ptr<Dialog> dialog =
      Dialog::CreateSingleton(*view, *backend, locale, startup, environment.launch);

  // The disk message names the folder it could not use, so that the user knows where to look.
  signals.Start(*view, *dialog, environment.error);
  int exitCode = dataFolderReady
                     ? dialog->Run()
                     : dialog->RunError(messages::kDiskWriteError, unusableFolder, kExitLocalFiles);
  signals.Stop();
  if (exitCode == kCanceled && signals.taken() == SIGTERM) exitCode = kExitTerminated;

  // The monitor stops before the services and the dialog it reports to.
  backend.reset();
  dialog.reset();
  view.reset();
  return exitCode;
}

}  // namespace Updater
}  // namespace halv
