// halvane-updater: downloads the build's program and its skin, then starts the program.

#include <memory>
#include <string>

#include "app/services.h"
#include "app/transfer_monitor.h"
#include "app/updater_entry.h"
#include "platform/string_resources.h"

namespace {

// Services and the monitor that polls them. Members are destroyed in reverse order: the
// monitor's thread is joined before the services go.
class ServicesBackend final : public halv::Updater::TransferBackend {
 public:
  explicit ServicesBackend(const halv::Settings& settings)
      : services_(settings, halv::AnalyticsEndpoints{}), monitor_(services_) {
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
  return halv::Updater::RunUpdater(
      &argc, &argv, halv::StringResourceTable::Embedded(),
      halv::Updater::EntryEnvironment::Process(),
      [](const halv::Settings& settings) { return std::make_unique<ServicesBackend>(settings); });
}
