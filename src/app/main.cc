#include <iostream>
#include <string>
#include <vector>

#include "app/startup_parameters.h"
#include "config/settings.h"
#include "platform/string_resources.h"
#include "platform/system.h"

// The updater's entry: gathers its configuration, checks its data folder and exits 0 on every
// path, as the desktop launcher expects.
int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  const halv::StartupParameters parameters(halv::StringResourceTable::Embedded(), arguments,
                                           halv::GetSystemTempDirectory());
  const halv::Settings settings = halv::BuildSettings(parameters, halv::GetProcessorCount());
  if (!parameters.CheckDataFolder()) {
    std::cerr << "We're having some trouble writing to your disk. Can you make sure your user "
                 "account has sufficient permissions and try again?\n"
              << "(data folder: "
              << (parameters.dataFolder().empty() ? std::string("no home folder was found")
                                                  : parameters.dataFolder())
              << ")\n";
    return 0;
  }
  std::cout << parameters.displayName() << ": data folder " << parameters.dataFolder()
            << ", manifest host " << settings.manifestHost << ", " << settings.workThreads
            << " work threads\n";
  return 0;
}
