#include "config/settings.h"

#include "platform/system.h"

namespace halv {

const char kDefaultManifestHost[] = HALV_DEFAULT_MANIFEST_HOST;

Settings::Settings() : Settings(GetProcessorCount()) {}

Settings::Settings(int processorCount) {
  const int p = processorCount > 1 ? processorCount : 1;
  // A chunk request holds its thread for the whole transfer, so a workflow runs as many works as
  // the requests in flight may reach, plus one per processor for the checks and mappings beside
  // them; the main work manager has room for that and for the manifests of another transfer.
  workflowConcurrency = maxRequestsInFlight + p;
  workThreads = workflowConcurrency + p + 2;
  fileConcurrency = p + 2;
}

}  // namespace halv
