#ifndef HALV_CONFIG_SETTINGS_H_
#define HALV_CONFIG_SETTINGS_H_

#include <string>

namespace halv {

// The manifest host of a build that sets no override: the bundled demo publisher on loopback.
extern const char kDefaultManifestHost[];

// The run-time settings with every default. Built once by the entry; the assembly and the
// optimizer keep their own copies. A plain value: copy freely, no synchronisation.
struct Settings {
  // Defaults for this machine's processor count.
  Settings();
  // Defaults for `processorCount` logical processors (values below 1 count as 1).
  explicit Settings(int processorCount);

  std::string manifestHost = kDefaultManifestHost;
  // Below the services' base folder, the product's state folder (see StartupParameters).
  std::string transfersFolder = "transfers";
  std::string logsFolder = "logs";
  // The publisher's minisign public keys (base64 lines separated by ';', ',' or white space);
  // empty: documents are not checked. With keys, every package document and node list must be
  // signed by one of them.
  std::string publisherKeys;
  // The newest publication time accepted per package, below the same base as the folders above.
  std::string publicationsFile = "publications";
  int logLevel = -9;
  int manifestRetryLimit = 4;
  int manifestConnectTimeout = 10;  // seconds
  int manifestTimeout = 30;         // seconds
  int chunkRetryLimit = 4;
  int requestRetryLimit = 4;
  int connectTimeoutMin = 3;           // seconds
  int connectTimeoutMax = 15;          // seconds
  int probeConnectTimeout = 2;         // seconds
  int requestTimeoutMin = 10;          // seconds
  int probeRequestTimeoutMin = 3;      // seconds
  int minTotalSpeed = 7168;            // bytes per second
  int probeMinTotalSpeed = 0x8000;     // bytes per second
  int lowSpeedTimeMin = 5;             // seconds
  int lowSpeedTimeMax = 60;            // seconds
  int probeLowSpeedTime = 3;           // seconds
  int nodeSetAsideSeconds = 5;         // first back-off of an unreachable node; doubles per failure
  int nodeSetAsideMaxSeconds = 300;    // longest back-off
  int slowRequestSeconds = 5;          // a request runs this long before the watch may give it up
  int slowRequestFactor = 20;          // given up below 1/this of the best other node's mean speed
  int requestWatchMilliseconds = 250;  // how often the watch looks; 0: never
  // A chunk request runs this long, with no chunk of its file left to start, before the watch
  // judges it by its own rate for a racing copy; younger, by its node's mean speed. Negative:
  // never raced.
  int raceMilliseconds = 1000;
  // A file being downloaded is flushed to disk each time this many more of its bytes verified,
  // so that the flush before its rename has little left to wait for; 0: only then.
  int flushEveryBytes = 32 << 20;
  int rateWindowSeconds = 10;
  int estimateHoldMilliseconds = 500;
  // Chunk requests in flight per file: requestsPerNode for each node that is not set aside nor
  // far behind (more for nodes that deliver more), never more than maxRequestsInFlight.
  int requestsPerNode = 2;
  int maxRequestsInFlight = 16;
  int workThreads = 0;          // workflowConcurrency + P + 2: the main work manager's threads
  int workflowConcurrency = 0;  // maxRequestsInFlight + P
  int fileConcurrency = 0;      // P + 2: files in parallel
  // The most a lookup of automatic proxy configuration may take, and teardown wait for one. The
  // proxy connection has each request's own time-outs.
  int proxyResolveTimeout = 5000;    // milliseconds
  int analyticsConnectTimeout = 10;  // seconds
  int analyticsTimeout = 10;         // seconds
  int analyticsRetryLimit = 1;
  int periodicEventInterval = 300;  // seconds of active transfer time
  int nodeSampleFactor = 50;
  int nodeSampleBudget = 10000;
  double nodeStatisticsWeight = 0.3;
};

}  // namespace halv

#endif  // HALV_CONFIG_SETTINGS_H_
