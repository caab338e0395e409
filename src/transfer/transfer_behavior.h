#ifndef HALV_TRANSFER_TRANSFER_BEHAVIOR_H_
#define HALV_TRANSFER_TRANSFER_BEHAVIOR_H_

#include "config/settings.h"

namespace halv {

class AnalyticsManager;
class HttpNodeListManifestFactory;
class HttpPackageManifestFactory;
class HttpRequestFactory;
class HttpSessionFactory;
class SharedFileFactory;
class TransferManager;
class TransferOptimizer;
class WorkLogManager;
class WorkManager;

// The settings and the long-lived services that every transfer and every transfer work uses.
// The manifest factories are the HTTP ones, which take the transfer's session. The transfer
// manager and the optimizer sit above this layer; the record only carries pointers to them.
// Ownership: copied by value into every transfer and every transfer event; the pointers are not
// owned and point into the assembly, which outlives every transfer. Any of them may be null where
// a test or a tool has no such service (works then skip what needs it).
// Thread-safety: a plain value; the services pointed at say their own.
class TransferBehavior {
 public:
  virtual ~TransferBehavior() = default;

  Settings settings;
  HttpSessionFactory* sessionFactory = nullptr;
  HttpRequestFactory* requestFactory = nullptr;
  SharedFileFactory* fileFactory = nullptr;
  HttpPackageManifestFactory* packageFactory = nullptr;
  HttpNodeListManifestFactory* nodeListFactory = nullptr;
  TransferManager* transferManager = nullptr;
  TransferOptimizer* optimizer = nullptr;
  AnalyticsManager* analyticsManager = nullptr;
  WorkLogManager* logManager = nullptr;
  WorkManager* workManager = nullptr;
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_BEHAVIOR_H_
