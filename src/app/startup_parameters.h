#ifndef HALV_APP_STARTUP_PARAMETERS_H_
#define HALV_APP_STARTUP_PARAMETERS_H_

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"

namespace halv {

class StringResourceTable;

// The support address of builds whose resource 134 is empty.
inline constexpr char kDefaultSupportAddress[] = "support.halvane.com";

// The per-build configuration (string resources) and the command-line values, gathered once at
// start-up. A plain value: filled by the constructor, read-only afterwards, copied by value.
class StartupParameters {
 public:
  using LanguageList = std::vector<std::pair<std::string, std::string>>;

  // Reads the string resources of `resources` and parses `arguments` (argv, argv[0] included).
  // `programPath` is the running executable (GetExecutablePath), argv[0] only when that is
  // unknown. Reads the environment variable HALV_ANALYTICS_URL.
  // `tempDirectory` is the system temporary directory under which the data folder lies.
  StartupParameters(const StringResourceTable& resources, const std::vector<std::string>& arguments,
                    const std::string& tempDirectory);

  std::string programPath() const { return programPath_; }
  std::string hostOverride() const { return hostOverride_; }
  std::string downloaderPartnerId() const { return downloaderPartnerId_; }
  std::string skinPartnerId() const { return skinPartnerId_; }
  std::string companyFolder() const { return companyFolder_; }
  std::string downloaderPackageId() const { return downloaderPackageId_; }
  std::string dataFolder() const { return dataFolder_; }
  std::string skinVersion() const { return skinVersion_; }
  std::string packageVersion() const { return packageVersion_; }
  std::string defaultLanguage() const { return defaultLanguage_; }
  int logLevel() const { return logLevel_; }
  // The analytics endpoints: resources 131 and 132, both replaced by the environment variable
  // HALV_ANALYTICS_URL when it is set (empty turns analytics off). Empty means off.
  std::string transferAnalyticsUrl() const { return transferAnalyticsUrl_; }
  std::string eventAnalyticsUrl() const { return eventAnalyticsUrl_; }
  const LanguageList& languages() const { return languages_; }
  // Resource 133: the publisher's minisign public keys (base64 lines separated by ';'); empty
  // means that documents are not checked.
  std::string publisherKeys() const { return publisherKeys_; }
  // Resource 134: where the messages of unexpected errors send the user for help;
  // kDefaultSupportAddress when the resource is empty.
  std::string supportAddress() const { return supportAddress_; }

  // Language-dependent fields: for an empty `language` the raw field; otherwise the value of the
  // first "code=value" pair of the field whose code equals `language`, or empty when none does.
  std::string launchPackageId(const std::string& language = std::string()) const;
  std::string skinPackageId(const std::string& language = std::string()) const;
  std::string displayName(const std::string& language = std::string()) const;
  std::string folderName(const std::string& language = std::string()) const;

  // True when the data folder is a folder this user can write to, creating it with its parents
  // when missing; false when no home was found for it. Never throws.
  bool CheckDataFolder() const;

 private:
  void ParseCommandLine(const std::vector<std::string>& arguments);

  std::string programPath_;
  std::string hostOverride_;
  std::string downloaderPartnerId_;
  std::string skinPartnerId_;
  std::string companyFolder_;
  std::string downloaderPackageId_;
  std::string dataFolder_;
  std::string displayName_;
  std::string folderName_;
  std::string skinPackageId_;
  std::string skinVersion_;
  std::string launchPackageId_;
  std::string packageVersion_;
  std::string defaultLanguage_;
  std::string transferAnalyticsUrl_;
  std::string eventAnalyticsUrl_;
  std::string publisherKeys_;
  std::string supportAddress_;
  int logLevel_;
  LanguageList languages_;
};

// Splits "code=Name;code=Name" into pairs: empty tokens and tokens without '=' are skipped; the key
// is the text before the first '='.
StartupParameters::LanguageList SplitLanguageList(const std::string& text);

// The settings of a run: the defaults for `processorCount` processors, the host override, the
// publisher keys and the log level of `parameters`, and the work threads doubled for the main
// work manager.
Settings BuildSettings(const StartupParameters& parameters, int processorCount);

}  // namespace halv

#endif  // HALV_APP_STARTUP_PARAMETERS_H_
