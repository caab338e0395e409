#ifndef HALV_APP_STARTUP_PARAMETERS_H_
#define HALV_APP_STARTUP_PARAMETERS_H_

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"

namespace halv {

class StringResourceTable;

// The user's base folders of the XDG rules, each absolute, or empty when no home was found.
struct UserFolders {
  std::string cache;  // where earlier releases kept everything, read only to move it
  std::string data;   // installed programs and skins
  std::string state;  // logs, transfer records, shortcuts, the publication record

  // The running user's: $XDG_CACHE_HOME, $XDG_DATA_HOME, $XDG_STATE_HOME or their defaults.
  static UserFolders Process();
};

// Whether `name` can name a folder of ours below a base folder: one non-empty path component,
// not "." or "..", without '/' or control characters.
bool IsFolderName(const std::string& name);

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
  // `folders` are the base folders below which the folder name (resource 109) places ours.
  StartupParameters(const StringResourceTable& resources, const std::vector<std::string>& arguments,
                    const UserFolders& folders);

  std::string programPath() const { return programPath_; }
  std::string hostOverride() const { return hostOverride_; }
  std::string downloaderPartnerId() const { return downloaderPartnerId_; }
  std::string skinPartnerId() const { return skinPartnerId_; }
  std::string companyFolder() const { return companyFolder_; }
  std::string downloaderPackageId() const { return downloaderPackageId_; }
  // <data>/<folder name>: the main package and the skin go into sibling folders below it,
  // named by their package ids (mainFolder(), and the skin package id for the language). Empty,
  // like stateFolder(), when there is no home or resource 109 is not a folder name (IsFolderName).
  std::string dataFolder() const { return dataFolder_; }
  // Where the main package goes and its run path starts: dataFolder()/<downloader package id>.
  std::string mainFolder() const;
  // <state>/<folder name>: the base folder of the services (logs, transfer records, the
  // publication record) and of the shortcuts.
  std::string stateFolder() const { return stateFolder_; }
  // <cache>/<companyFolder>: the one data folder of earlier releases.
  std::string cacheLayoutFolder() const { return cacheLayoutFolder_; }
  std::string skinVersion() const { return skinVersion_; }
  std::string packageVersion() const { return packageVersion_; }
  std::string defaultLanguage() const { return defaultLanguage_; }
  int logLevel() const { return logLevel_; }
  // Whether the launch writes shortcuts: only when the command line says "shortcuts=yes".
  bool createShortcuts() const { return createShortcuts_; }
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

  // True when the data and state folders are folders this user can write to, creating them
  // with their parents when missing. Otherwise false, with the first folder that failed in
  // `unusable` ("~" when it has no path: no home, or no valid folder name). Never throws.
  bool CheckDataFolder(std::string* unusable = nullptr) const;

 private:
  void ParseCommandLine(const std::vector<std::string>& arguments);

  std::string programPath_;
  std::string hostOverride_;
  std::string downloaderPartnerId_;
  std::string skinPartnerId_;
  std::string companyFolder_;
  std::string downloaderPackageId_;
  std::string dataFolder_;
  std::string stateFolder_;
  std::string cacheLayoutFolder_;
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
  bool createShortcuts_ = false;
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
