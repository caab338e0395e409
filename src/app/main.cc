// halvane-updater: downloads the build's program and its skin, then starts the program.

#include <unistd.h>

#include <memory>
#include <string>

#include "app/services.h"
#include "app/startup_parameters.h"
#include "app/transfer_monitor.h"
#include "app/updater_entry.h"
#include "event/work_log_manager.h"
#include "platform/string_resources.h"
#include "platform/system.h"

namespace {

// Services and the monitor that polls them. Members are destroyed in reverse order: the
// monitor's thread is joined before the services go.
class ServicesBackend final : public halv::Updater::TransferBackend {
 public:
  ServicesBackend(const halv::Settings& settings, const halv::StartupParameters& build)
      : services_(
            settings, halv::GetSystemTempDirectory(),
            halv::AnalyticsEndpoints{build.transferAnalyticsUrl(), build.eventAnalyticsUrl()}),
        monitor_(services_) {
    // The downloaded program inherits the updater's rights: the log says so when they are root's.
    if (::geteuid() == 0) {
      if (halv::WorkLogManager* log = services_.GetBehavior().logManager) {
        auto event = log->CreateEventWork(halv::kLevelImportant);
        event->tree.put("event", "RunningAsRoot");
        event->tree.put("params.message", "the downloaded program will run as root");
        log->Submit(event);
      }
    }
    monitor_.Start();
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

 private:
  halv::Services services_;
  halv::TransferMonitorImpl monitor_;
};

}  // namespace

int main(int argc, char** argv) {
  // The build's analytics endpoints (or the one of HALV_ANALYTICS_URL) for the services.
  const halv::StartupParameters build(halv::StringResourceTable::Embedded(), {argv[0]},
                                      halv::GetSystemTempDirectory());
  return halv::Updater::RunUpdater(&argc, &argv, halv::StringResourceTable::Embedded(),
                                   halv::Updater::EntryEnvironment::Process(),
                                   [&build](const halv::Settings& settings) {
                                     return std::make_unique<ServicesBackend>(settings, build);
                                   });
}
