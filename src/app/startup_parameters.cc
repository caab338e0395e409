#include "app/startup_parameters.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "config/not_given.h"
#include "file/paths.h"
#include "platform/string_resources.h"
#include "platform/system.h"

namespace halv {

namespace {

constexpr char kCompanyFolder[] = "Mirthwell Technologies/Halvane Delivery";
// Replaces both analytics endpoints for one run, so that tests and scripts need not rebrand.
constexpr char kAnalyticsUrlVariable[] = "HALV_ANALYTICS_URL";

std::string SelectLanguage(const std::string& field, const std::string& language) {
  if (language.empty()) return field;
  for (const auto& [code, value] : SplitLanguageList(field)) {
    if (code == language) return value;
  }
  return std::string();
}

bool StartsWith(const std::string& text, const char* prefix, std::size_t length) {
  return text.compare(0, length, prefix) == 0;
}

// `base`/`name`, or empty when `base` is not absolute (no home was found): then the check fails
// and the user is told, rather than a folder being made below the current directory.
std::string FolderBelow(const std::string& base, const std::string& name) {
  if (base.empty() || base.front() != '/') return std::string();
  try {
    return JoinPath(base, name);
  } catch (const std::exception&) {
    return std::string();
  }
}

bool IsUsableFolder(const std::string& folder) {
  if (folder.empty()) return false;
  if (!PathExists(folder) && !CreateDirectories(folder)) return false;
  // A file in its place, or a folder this user cannot write to, would fail only later.
  return IsWritableFolder(folder);
}

}  // namespace

UserFolders UserFolders::Process() {
  return UserFolders{GetSystemTempDirectory(), GetDataHome(), GetStateHome()};
}

bool IsFolderName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

StartupParameters::LanguageList SplitLanguageList(const std::string& text) {
  StartupParameters::LanguageList pairs;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string token = text.substr(start, end - start);
    const std::size_t equals = token.find('=');
    if (!token.empty() && equals != std::string::npos) {
      pairs.emplace_back(token.substr(0, equals), token.substr(equals + 1));
    }
    start = end + 1;
  }
  return pairs;
}

StartupParameters::StartupParameters(const StringResourceTable& resources,
                                     const std::vector<std::string>& arguments,
                                     const UserFolders& folders)
    : companyFolder_(kCompanyFolder),
      skinVersion_(kNotGiven),
      packageVersion_(kNotGiven),
      logLevel_(-9) {
  hostOverride_ = resources.Load(102);
  downloaderPartnerId_ = resources.Load(103);
  skinPartnerId_ = resources.Load(104);
  displayName_ = resources.Load(108);
  folderName_ = resources.Load(109);
  downloaderPackageId_ = resources.Load(107);
  // The raw resource, whatever the language: a product keeps one place when its user switches
  // language. A name that would leave or nest below the base folder gives no place at all.
  if (IsFolderName(folderName_)) {
    dataFolder_ = FolderBelow(folders.data, folderName_);
    stateFolder_ = FolderBelow(folders.state, folderName_);
  }
  cacheLayoutFolder_ = FolderBelow(folders.cache, companyFolder_);
  skinPackageId_ = resources.Load(106);
  launchPackageId_ = resources.Load(105);
  defaultLanguage_ = resources.Load(130);
  transferAnalyticsUrl_ = resources.Load(131);
  eventAnalyticsUrl_ = resources.Load(132);
  publisherKeys_ = resources.Load(133);
  supportAddress_ = resources.Load(134);
  if (supportAddress_.empty()) supportAddress_ = kDefaultSupportAddress;
  if (const char* url = std::getenv(kAnalyticsUrlVariable)) {
    transferAnalyticsUrl_ = url;
    eventAnalyticsUrl_ = url;
  }
  ParseCommandLine(arguments);
  languages_ = SplitLanguageList(resources.Load(129));
}

void StartupParameters::ParseCommandLine(const std::vector<std::string>& arguments) {
  // argv[0] may be a bare name or a relative path, useless to a shortcut that must run this
  // program again from anywhere; it stands in only when the system cannot tell.
  programPath_ = GetExecutablePath();
  if (arguments.empty()) return;
  if (programPath_.empty()) programPath_ = arguments.front();
  try {
    for (const std::string& argument : arguments) {
      if (StartsWith(argument, "packageVersion=", 15)) {
        packageVersion_ = argument.substr(15);
      } else if (argument == "shortcuts=yes" || argument == "shortcuts=no") {
        // Files in the user's menu and state folder appear only when asked for.
        createShortcuts_ = argument == "shortcuts=yes";
      } else if (StartsWith(argument, "skinVersion=", 12)) {
        skinVersion_ = argument.substr(12);
      } else if (StartsWith(argument, "log=", 4)) {
        // An unsigned 32-bit conversion, so "-1" wraps around and reads back as -1. stoul negates
        // in 64 bits here, so the magnitude is checked against 32 bits either way round.
        const unsigned long value = std::stoul(argument.substr(4), nullptr, 10);
        if (value > UINT32_MAX && 0 - value > UINT32_MAX) {
          throw std::out_of_range("stoul argument out of range");
        }
        logLevel_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
      }
    }
  } catch (const std::logic_error&) {
    // std::invalid_argument or std::out_of_range: the parse stops at this argument.
  }
}

std::string StartupParameters::launchPackageId(const std::string& language) const {
  return SelectLanguage(launchPackageId_, language);
}

std::string StartupParameters::skinPackageId(const std::string& language) const {
  return SelectLanguage(skinPackageId_, language);
}

std::string StartupParameters::displayName(const std::string& language) const {
  return SelectLanguage(displayName_, language);
}

std::string StartupParameters::folderName(const std::string& language) const {
  return SelectLanguage(folderName_, language);
}

std::string StartupParameters::mainFolder() const {
  return dataFolder_.empty() ? std::string() : FolderBelow(dataFolder_, downloaderPackageId_);
}

bool StartupParameters::CheckDataFolder(std::string* unusable) const {
  for (const std::string* folder : {&dataFolder_, &stateFolder_}) {
    if (!IsUsableFolder(*folder)) {
      if (unusable) *unusable = folder->empty() ? std::string("~") : *folder;
      return false;
    }
  }
  return true;
}

Settings BuildSettings(const StartupParameters& parameters, int processorCount) {
  Settings settings(processorCount);
  if (!parameters.hostOverride().empty()) settings.manifestHost = parameters.hostOverride();
  settings.publisherKeys = parameters.publisherKeys();
  settings.logLevel = parameters.logLevel();
  return settings;
}

}  // namespace halv
