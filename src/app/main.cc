// halvane-updater: downloads the build's program and its skin, then starts the program.

#include <unistd.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/exit_status.h"
#include "app/launcher.h"
#include "app/services.h"
#include "app/startup_parameters.h"
#include "app/transfer_monitor.h"
#include "app/updater_entry.h"
#include "build_version.h"
#include "event/work_log_manager.h"
#include "platform/string_resources.h"

namespace {

constexpr char kHelp[] =
    "usage: halvane-updater [packageVersion=ID] [skinVersion=ID] [analytics=off]\n"
    "                       [shortcuts=yes|no] [log=N]\n"
    "       halvane-updater --remove-shortcuts\n"
    "       halvane-updater --help | --version\n"
    "Downloads this build's program and its skin, then starts the program: in a window when a\n"
    "display is set (DISPLAY or WAYLAND_DISPLAY) and the GTK module beside the updater loads,\n"
    "on the terminal otherwise. Which packages, partner and host it uses, its display and\n"
    "folder names and its languages are the build's configuration (see halvane-rebrand).\n"
    "  packageVersion=ID  the version of the program's package (default: its current version);\n"
    "                     passed on to the program as /version\n"
    "  skinVersion=ID     the version of the skin package (default: its current version)\n"
    "  shortcuts=yes      before the launch, write a shortcut back to this updater in the\n"
    "                     state folder's shortcuts folder (PACKAGE.url and PACKAGE.desktop)\n"
    "                     and a menu entry in $XDG_DATA_HOME/applications; shortcuts=no, the\n"
    "                     default, writes none\n"
    "  --remove-shortcuts removes those files and exits; nothing is downloaded\n"
    "  analytics=off      post nothing. A build that names an analytics address (or\n"
    "                     HALV_ANALYTICS_URL) posts each transfer's record there as JSON: the\n"
    "                     partner, package and version ids, sizes, times, rates, the nodes\n"
    "                     used and any error; a build without one posts nothing\n"
    "  log=N              the work log's level mask (default -9); a value that is not a\n"
    "                     number ends the reading of the arguments at it\n"
    "  --help             show this text; --version shows the program's version\n"
    "Other arguments are ignored, so that a launcher may pass its own, except those that\n"
    "begin with '-': --help, --version and --remove-shortcuts are answered without\n"
    "downloading anything, and any other (a typo such as --hlep or -V) is a usage error,\n"
    "exit status 2, with no connection made.\n"
    "Environment: HALV_GTK_MODULE names the window module to load instead of looking for it\n"
    "beside the updater, in ../lib/halvane-delivery/gtk and in /usr/lib/halvane-delivery/gtk.\n"
    "Environment: HALV_ANALYTICS_URL replaces both analytics endpoints (empty turns analytics\n"
    "off). Places, FOLDER being the build's folder name: the program and its skin go into\n"
    "$XDG_DATA_HOME/FOLDER (default ~/.local/share/FOLDER); logs, transfer records, shortcuts\n"
    "and the record of accepted publications into $XDG_STATE_HOME/FOLDER (default\n"
    "~/.local/state/FOLDER). What earlier releases kept in $XDG_CACHE_HOME is moved there once.\n"
    "A build that names no package (the generic one) only says so, with exit status 2.\n"
    "Exit status (130 also when the window is closed before the program has ended; 0 once the\n"
    "program was started and has ended, whatever its own status):\n";

// Services and the monitor that polls them. Members are destroyed in reverse order: the
// monitor's thread is joined before the services go.
class ServicesBackend final : public halv::Updater::TransferBackend {
 public:
  ServicesBackend(const halv::Settings& settings, const halv::StartupParameters& build,
                  bool analytics)
      : services_(settings, build.stateFolder(),
                  analytics ? halv::AnalyticsEndpoints{build.transferAnalyticsUrl(),
                                                       build.eventAnalyticsUrl()}
                            : halv::AnalyticsEndpoints{}),
        monitor_(services_) {
    // The downloaded program inherits the updater's rights: the log says so when they are root's.
    if (::geteuid() == 0) LogNotice("RunningAsRoot", "the downloaded program will run as root");
    monitor_.Start();
  }

  void LogNotice(const std::string& name, const std::string& message) override {
    if (halv::WorkLogManager* log = services_.GetBehavior().logManager) {
      auto event = log->CreateEventWork(halv::kLevelImportant);
      event->tree.put("event", name);
      event->tree.put("params.message", message);
      log->Submit(event);
    }
  }

  halv::TransferStatus InitializeTransfer(const std::string& partnerId,
                                          const std::string& packageId,
                                          const std::string& versionId) override {
    return services_.InitializeTransfer(partnerId, packageId, versionId);
  }
  halv::TransferStatus StartTransfer(const std::string& transferId,
                                     const std::string& destPath) override {
    return services_.StartTransfer(transferId, destPath);
  }
  void Watch(const std::string& transferId, halv::TransferMonitorCallback* callback) override {
    monitor_.Watch(transferId, callback);
  }
  void CancelTransfer(const std::string& transferId) override {
    services_.CancelTransfer(transferId, false);
  }

 private:
  halv::Services services_;
  halv::TransferMonitorImpl monitor_;
};

}  // namespace

int main(int argc, char** argv) {
  // Options are answered, or refused, before anything starts: a typo must not download and
  // start the program.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kHelp << halv::kExitStatusHelp;
      return halv::kExitComplete;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << "halvane-updater " HALV_BUILD_VERSION "\n";
      return halv::kExitComplete;
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--remove-shortcuts") == 0) {
      const halv::StartupParameters build(halv::StringResourceTable::Embedded(), {argv[0]},
                                          halv::UserFolders::Process());
      const int removed = halv::RemoveShortcuts(build);
      std::cerr << "halvane-updater: removed " << removed << " shortcut file"
                << (removed == 1 ? "" : "s") << " of " << build.displayName() << "\n";
      return halv::kExitComplete;
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') {
      std::cerr << "halvane-updater: unknown option " << argv[i]
                << "\nTry 'halvane-updater --help'.\n";
      return halv::kExitUsage;
    }
  }
  // The build's analytics endpoints (or the one of HALV_ANALYTICS_URL) for the services, unless
  // the run turns them off.
  const halv::StartupParameters build(halv::StringResourceTable::Embedded(), {argv[0]},
                                      halv::UserFolders::Process());
  if (build.downloaderPackageId().empty()) {
    // The generic build is a template: it fetches nothing until halvane-rebrand names packages.
    std::cerr << "halvane-updater: this build names no package to download; make a product's "
                 "updater from it with halvane-rebrand\n";
    return halv::kExitUsage;
  }
  bool analytics = true;
  for (int i = 1; i < argc; ++i)
    analytics = analytics && std::strcmp(argv[i], "analytics=off") != 0;
  return halv::Updater::RunUpdater(&argc, &argv, halv::StringResourceTable::Embedded(),
                                   halv::Updater::EntryEnvironment::Process(),
                                   [&build, analytics](const halv::Settings& settings) {
                                     return std::make_unique<ServicesBackend>(settings, build,
                                                                              analytics);
                                   });
}
