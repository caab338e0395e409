#include "config/settings.h"

#include "platform/system.h"

namespace halv {

const char kDefaultManifestHost[] = HALV_DEFAULT_MANIFEST_HOST;

Settings::Settings() : Settings(GetProcessorCount()) {}

Settings::Settings(int processorCount) {
  const int p = processorCount > 1 ? processorCount : 1;
  // The main work manager is shared by every workflow, each running up to P + 2 works.
  workThreads = 2 * (p + 2);
  workflowConcurrency = p + 2;
  fileConcurrency = p + 2;
}

}  // namespace halv
