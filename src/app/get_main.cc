// halvane-get: the headless downloader. Downloads one package version into a folder with the
// same services as the updater, showing progress on stderr, and exits with a status scripts can
// read (app/exit_status.h); Ctrl-C and SIGTERM suspend the transfer cleanly, and running again
// resumes it.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cache_layout.h"
#include "app/exit_status.h"
#include "app/get_progress.h"
#include "app/retry_budget.h"
#include "app/services.h"
#include "app/startup_parameters.h"
#include "build_version.h"
#include "config/not_given.h"
#include "config/settings.h"
#include "event/work_log_manager.h"
#include "file/paths.h"
#include "http/curl_http_request.h"
#include "manifest/manifest_exception.h"
#include "manifest/manifest_source.h"
#include "platform/string_resources.h"
#include "platform/system.h"
#include "sign/minisign.h"
#include "sign/signature_error.h"

namespace halv {
namespace {

// How often the monitor reads the transfer's status, in milliseconds.
constexpr std::uint32_t kPollIntervalMs = 20;

constexpr char kUsage[] =
    "usage: halvane-get [--host [https://]HOST[:PORT]] --partner ID --package ID\n"
    "                   [--package-version ID] --dest DIR [--public-key FILE]\n"
    "                   [--retry-for SECONDS] [--quiet | --verbose] [--no-analytics]\n"
    "                   [--log-level N] [--threads N]\n"
    "       halvane-get --help | --version\n"
    "Downloads one package version into DIR (the current version unless --package-version is\n"
    "given) and exits 0 when every file is complete and verified. Progress goes to stderr.\n"
    "  --host       the manifest host; https:// fetches over TLS. Required unless the build\n"
    "               names one (a generic build names none)\n"
    "  --partner    the partner id, which names the node list\n"
    "  --package    the package id\n"
    "  --package-version\n"
    "               the version id (default: the package's current version); the older\n"
    "               spelling --version ID still works in this release, with a notice\n"
    "  --dest       the folder the package's files go into; created when missing\n"
    "  --public-key a minisign public key file: the documents must be signed by it\n"
    "               (default: the build's publisher keys, if any)\n"
    "  --retry-for  how long to keep trying while the network fails, in seconds (default 60;\n"
    "               0: never). Refused or reset connections, time-outs and HTTP 5xx or 429\n"
    "               answers of the host or of every node are tried again after 1, 2, 4, 8,\n"
    "               then every 16 seconds; progress renews the time. A missing document, an\n"
    "               unauthentic one or a local failure ends the run at once.\n"
    "  --no-analytics\n"
    "               post nothing. A build that names an analytics address (or\n"
    "               HALV_ANALYTICS_URL) posts each transfer's record there as JSON: the\n"
    "               partner, package and version ids, sizes, times, rates, the nodes used\n"
    "               and any error; a build without one, like the generic, posts nothing\n"
    "  --quiet      print nothing but errors\n"
    "  --verbose    also print the work log's notable lines (transfer events, failures,\n"
    "               retries and races) on stderr\n"
    "  --log-level  the work log's level mask, for experts (default -9)\n"
    "  --threads    threads of the main work manager (default 2 x (processors + 2))\n"
    "  --help       show this text; --version shows the program's version\n"
    "Every option also takes its value as --option=value.\n"
    "Logs, transfer records and the record of accepted publications go into\n"
    "$XDG_STATE_HOME/FOLDER (default ~/.local/state/FOLDER), FOLDER being the build's folder "
    "name.\n"
    "An interrupted download resumes when the same command runs again.\n"
    "Exit status:\n";

struct Options {
  enum class Action { Download, Help, Version };
  Action action = Action::Download;
  std::string host;
  std::string partner;
  std::string package;
  std::string version = kNotGiven;
  std::string dest;
  std::string publicKeyFile;
  std::optional<int> logLevel;
  std::optional<int> threads;
  int retryFor = 60;
  bool noAnalytics = false;
  bool quiet = false;
  bool verbose = false;
  // Set when the package version came through the old spelling --version ID.
  bool oldVersionSpelling = false;
};

std::optional<int> ParseInt(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

// Fills `options` from argv; on failure returns the reason, one line.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      options.action = Options::Action::Help;
      return std::nullopt;
    }
    if (name == "--no-analytics") {
      options.noAnalytics = true;
      continue;
    }
    if (name == "--quiet" || name == "-q" || name == "--verbose" || name == "-v") {
      (name == "--quiet" || name == "-q" ? options.quiet : options.verbose) = true;
      if (options.quiet && options.verbose)
        return std::string("--quiet and --verbose exclude each other");
      continue;
    }
    std::optional<std::string> inlineValue;
    const std::size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    // --version alone asks for the program's version; followed by a value it is the package
    // version's old spelling, kept for one release so that existing scripts keep working.
    if (name == "--version" && !inlineValue &&
        (i + 1 >= argc || std::string(argv[i + 1]).rfind('-', 0) == 0)) {
      options.action = Options::Action::Version;
      return std::nullopt;
    }
    static const char* const kNames[] = {
        "--host",       "--partner",   "--package", "--version",         "--dest",
        "--public-key", "--log-level", "--threads", "--package-version", "--retry-for"};
    if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) {
      if (name.rfind('-', 0) == 0) return "unknown option " + name;
      return "unexpected argument " + name;
    }
    if (!inlineValue && i + 1 >= argc) return name + " needs a value";
    const std::string value = inlineValue ? *inlineValue : argv[++i];
    if (name == "--host") {
      options.host = value;
    } else if (name == "--partner") {
      options.partner = value;
    } else if (name == "--package") {
      options.package = value;
    } else if (name == "--package-version" || name == "--version") {
      options.version = value;
      options.oldVersionSpelling = name == "--version";
    } else if (name == "--dest") {
      options.dest = value;
    } else if (name == "--public-key") {
      options.publicKeyFile = value;
    } else if (name == "--retry-for") {
      const std::optional<int> seconds = ParseInt(value);
      if (!seconds || *seconds < 0 || *seconds > 7 * 24 * 3600) {
        return "--retry-for takes a number of seconds from 0 to 604800";
      }
      options.retryFor = *seconds;
    } else if (name == "--log-level") {
      if (!(options.logLevel = ParseInt(value))) return "--log-level takes an integer";
    } else {
      options.threads = ParseInt(value);
      if (!options.threads || *options.threads < 1 || *options.threads > 1024) {
        return "--threads takes a number from 1 to 1024";
      }
    }
  }
  if (options.partner.empty()) return std::string("--partner is required");
  if (options.package.empty()) return std::string("--package is required");
  if (options.dest.empty()) return std::string("--dest is required");
  if (options.version.empty()) return std::string("--package-version must not be empty");
  return std::nullopt;
}

// The outcome of the run, set once by the monitor's callback or by a signal.
class Outcome {
 public:
  void Set(int exitStatus, std::string message) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (exitStatus_) return;
      exitStatus_ = exitStatus;
      message_ = std::move(message);
    }
    done_.notify_all();
  }
  // Waits at most `wait` for the outcome; true when it is set.
  bool WaitFor(Clock::Duration wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, wait, [this] { return exitStatus_.has_value(); });
  }
  int Wait(std::string& message) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return exitStatus_.has_value(); });
    message = message_;
    return *exitStatus_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::optional<int> exitStatus_;
  std::string message_;
};

// Starts the transfer once it is initialized, shows its progress, and settles the outcome.
class GetCallback : public TransferMonitorCallback {
 public:
  GetCallback(Services& services, Outcome& outcome, ProgressPrinter& progress,
              FailureContext context, Clock::Duration retryFor)
      : services_(services),
        outcome_(outcome),
        progress_(progress),
        context_(std::move(context)),
        retries_(retryFor, SteadyClock::Instance()) {}

  // Before the monitor starts: the monitor is made after the callback, so that it is destroyed
  // (and its thread joined) before the callback goes.
  void SetMonitor(TransferMonitorImpl* monitor) { monitor_ = monitor; }

  void OnTransferProgress(const TransferStatus& status) override {
    // Bytes that came in since the last failure: the network is back, the budget is renewed.
    if (status.receivedBytes > receivedAtFailure_) retries_.Reset();
    progress_.Show(status);
  }

  void OnTransferInitialized(const TransferStatus& status) override {
    if (status.error != TransferError::None) return;  // OnTransferError follows
    const TransferStatus started = services_.StartTransfer(status.transferId, context_.dest);
    if (started.state == TransferState::Transferring) {
      monitor_->Watch(status.transferId, this);
    } else {
      Fail(started);
    }
  }

  void OnTransferError(const TransferStatus& status) override {
    if (!status.retryable || ExitStatusOf(status) != kExitNetwork) {
      Fail(status);
      return;
    }
    const std::optional<Clock::Duration> wait = retries_.NextWait();
    if (!wait) {
      Fail(status);
      return;
    }
    receivedAtFailure_ = status.receivedBytes;
    // Rounded up: a wait that ends the budget may be a fraction of a second.
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(*wait).count();
    progress_.Note("waiting for the network (" + status.errorMessage + "); trying again in " +
                   std::to_string(seconds) + " s\n");
    // The monitor's thread waits: it watches this transfer alone, and a signal ends the wait.
    if (outcome_.WaitFor(*wait)) return;
    const TransferStatus retried = services_.RetryTransfer(status.transferId);
    if (retried.error != TransferError::None && retried.IsFinished()) {
      Fail(retried);
      return;
    }
    monitor_->Watch(status.transferId, this);
  }

  void OnTransferFinished(const TransferStatus& status) override {
    if (status.state == TransferState::Complete && status.error == TransferError::None) {
      progress_.Finish(status);
      outcome_.Set(0, std::string());
    } else {
      Fail(status);
    }
  }

 private:
  void Fail(const TransferStatus& status) {
    progress_.Break();
    const int exitStatus = ExitStatusOf(status);
    outcome_.Set(exitStatus == kExitComplete ? kExitFailed : exitStatus,
                 DescribeFailure(status, context_));
  }

  Services& services_;
  TransferMonitorImpl* monitor_ = nullptr;
  Outcome& outcome_;
  ProgressPrinter& progress_;
  const FailureContext context_;
  // Monitor thread only.
  RetryBudget retries_;
  std::uint64_t receivedAtFailure_ = 0;
};

int Run(int argc, char** argv) {
  Options options;
  if (const auto problem = ParseOptions(argc, argv, options)) {
    std::cerr << "halvane-get: " << *problem << "\nTry 'halvane-get --help'.\n";
    return kExitUsage;
  }
  if (options.action == Options::Action::Help) {
    std::cout << kUsage << kExitStatusHelp;
    return 0;
  }
  if (options.action == Options::Action::Version) {
    std::cout << "halvane-get " HALV_BUILD_VERSION "\n";
    return 0;
  }
  if (options.oldVersionSpelling && !options.quiet) {
    std::cerr << "halvane-get: --version ID is now --package-version ID; the old spelling goes "
                 "in the next release\n";
  }

  // Signals are taken by one thread of ours; every thread made from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  InitializeCurl();
  // The build's configuration: its manifest host and analytics endpoints.
  const StartupParameters build(StringResourceTable::Embedded(), {argv[0]}, UserFolders::Process());
  Settings settings = BuildSettings(build, GetProcessorCount());
  if (!options.host.empty()) settings.manifestHost = options.host;
  if (settings.manifestHost.empty()) {
    // A generic build names no host: nothing to connect to, and no guess.
    std::cerr << "halvane-get: --host is required: this build names no manifest host\n"
                 "Try 'halvane-get --help'.\n";
    return kExitUsage;
  }
  settings.logLevel = options.logLevel ? *options.logLevel : Settings().logLevel;
  if (options.threads) settings.workThreads = *options.threads;
  if (!options.publicKeyFile.empty()) {
    try {
      settings.publisherKeys = ReadMinisignPublicKeyFile(options.publicKeyFile).ToBase64();
    } catch (const SignatureError& error) {
      std::cerr << "halvane-get: " << error.what() << "\n";
      return kExitUsage;
    }
  }

  // Only the state folder is ours: the package goes into --dest. An earlier release's state
  // moves there before the services open it (see MoveCacheLayout).
  const std::string base = build.stateFolder();
  if (base.empty() || !(PathExists(base) || CreateDirectories(base)) ||
      !MoveCacheLayout(build.cacheLayoutFolder(), base)) {
    std::cerr << "halvane-get: cannot create the data folder "
              << (base.empty() ? "(no home folder, or the build's folder name is not a folder name)"
                               : base)
              << "\n";
    return kExitLocalFiles;
  }
  if (!(PathExists(options.dest) || CreateDirectories(options.dest))) {
    const std::string problem = DescribeFolderProblem(options.dest);
    std::cerr << "halvane-get: cannot create the destination folder " << options.dest
              << (problem.empty() ? "" : ": " + problem) << "\n";
    return kExitLocalFiles;
  }

  FailureContext context{settings.manifestHost, options.partner, options.package,
                         options.version,       options.dest,    {}};
  Outcome outcome;
  std::thread signalThread([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    if (signal == SIGINT) {
      outcome.Set(kExitInterrupted, "interrupted; run the same command again to resume");
    }
    if (signal == SIGTERM) {
      outcome.Set(kExitTerminated, "terminated; run the same command again to resume");
    }
  });

  int exitStatus = kExitFailed;
  std::string message;
  // --quiet: a stream without a buffer takes every progress line and shows none.
  std::ostream silent(nullptr);
  {
    // Before the services, whose log may show lines through it until they are gone.
    ProgressPrinter progress(!options.quiet && isatty(STDERR_FILENO) == 1, SteadyClock::Instance(),
                             options.quiet ? silent : std::cerr);
    Services services(settings, base,
                      options.noAnalytics ? AnalyticsEndpoints{}
                                          : AnalyticsEndpoints{build.transferAnalyticsUrl(),
                                                               build.eventAnalyticsUrl()});
    if (options.verbose) {
      services.GetBehavior().logManager->MirrorLines(
          kLevelTransferEvent | kLevelFailed | kLevelRetry | kLevelImportant,
          [&progress](const std::string& line) { progress.Note(line); });
    }
    // Asked only after a document was missing, the way the transfer asks (proxy included).
    context.documentMissing = [&services, &settings](const std::string& url) {
      const TransferBehavior& behavior = services.GetBehavior();
      XmlHttpManifestSource source(url, *behavior.requestFactory, behavior.sessionFactory->Create(),
                                   settings.manifestConnectTimeout, settings.manifestTimeout,
                                   std::uint64_t{1} << 20);
      std::stringstream body;
      try {
        source.Retrieve(url, body);
      } catch (const ManifestLocatorException&) {
        return true;
      } catch (const std::exception&) {
      }
      return false;
    };
    GetCallback callback(services, outcome, progress, context,
                         std::chrono::seconds(options.retryFor));
    // Starting once initialized and ending once complete each wait for the next poll; a poll
    // only copies a status, so a short interval keeps a quick run quick.
    TransferMonitorImpl monitor(services, SteadyClock::Instance(), kPollIntervalMs);
    callback.SetMonitor(&monitor);
    monitor.Start();
    const TransferStatus status =
        services.InitializeTransfer(options.partner, options.package, options.version);
    if (status.transferId.empty() || status.IsFinished()) {
      const int failed = ExitStatusOf(status);
      outcome.Set(failed == kExitComplete ? kExitFailed : failed, DescribeFailure(status, context));
    } else {
      monitor.Watch(status.transferId, &callback);
    }
    exitStatus = outcome.Wait(message);
    progress.Break();
    // The monitor goes first, then Services suspends the transfer, so a rerun resumes it.
  }
  pthread_kill(signalThread.native_handle(), SIGUSR1);
  signalThread.join();
  if (!message.empty()) std::cerr << "halvane-get: " << message << "\n";
  return exitStatus;
}

}  // namespace
}  // namespace halv

int main(int argc, char** argv) { return halv::Run(argc, argv); }
