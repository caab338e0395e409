#include "config/settings.h"

#include "platform/system.h"

namespace halv {

const char kDefaultManifestHost[] = HALV_DEFAULT_MANIFEST_HOST;

Settings::Settings() : Settings(GetProcessorCount()) {}

Settings::Settings(int processorCount) {
  const int p = processorCount > 1 ? processorCount : 1;
  workThreads = p + 2;
  workflowConcurrency = p + 2;
  fileConcurrency = p + 2;
}

}  // namespace halv
