#ifndef HALV_APP_UPDATER_ENTRY_H_
#define HALV_APP_UPDATER_ENTRY_H_

#include <functional>
#include <memory>
#include <string>

#include "app/updater_dialog.h"
#include "config/settings.h"

namespace halv {

class StringResourceTable;

namespace Updater {

// The transfer side of a run: the services that hold every long-lived service and the
// monitor thread that polls them, started when built. Destruction stops and joins the monitor
// first, then tears the services down (which suspends every transfer).
class TransferBackend : public TransferService {
 public:
  // Writes an important event named `event` with `message` into the work log (when there is
  // one). Main thread.
  virtual void LogNotice(const std::string& event, const std::string& message) = 0;
};

using TransferBackendFactory = std::function<std::unique_ptr<TransferBackend>(const Settings&)>;

// What the entry takes from its surroundings; the defaults are the process's own.
struct EntryEnvironment {
  UserFolders folders;  // the base folders below which the data and state folders lie
  int processorCount = 1;
  std::string moduleFolder;  // the folder of the GTK module (the executable's own)
  bool tryWindow = true;     // false: the terminal front end even when a display is set
  bool runAsRoot = false;
  int input = 0;
  int output = 1;
  int error = 2;
  LaunchFunction launch;

  // The process's values: the effective user, the standard descriptors, Launch.
  static EntryEnvironment Process();
};

// The updater's run from its command line to its exit status: the startup parameters and the
// settings, the catalogs and the locale, the transfer backend, the window (GTK when a display
// opens, the terminal otherwise) and the dialog; then the data-folder check and either the
// dialog or the disk-permission error box; then the teardown: the backend (monitor, then
// services), the dialog, the window, the locale and the catalogs. Returns the dialog's exit
// status (ExitCode). Call on the main thread; argc and argv may be changed by GTK.
int RunUpdater(int* argc, char*** argv, const StringResourceTable& resources,
               const EntryEnvironment& environment, const TransferBackendFactory& makeBackend);

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_UPDATER_ENTRY_H_
