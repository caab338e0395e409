#include "platform/linux_shortcut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <utility>

#include <boost/filesystem.hpp>

#include "file/paths.h"
#include "file/shared_file.h"
#include "file/utf8.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;

// The longest URL that readers of the shortcut format take.
constexpr std::size_t kMaxUrlLength = 2084;
constexpr char kIconName[] = "system-software-update";
constexpr char kLauncherPrefix[] = "halvane-delivery-";
constexpr char kFallbackName[] = "Halvane Delivery";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// UTF-16LE of ASCII text: every line of the shortcut is ASCII, its URL being percent-encoded.
std::string AsciiToUtf16Le(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char c : text) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

// `name` as the value of a launcher's Name key: menus show one line of UTF-8, so control
// characters become blanks and malformed bytes question marks; the ends are trimmed and
// backslashes escaped.
std::string DesktopName(const std::string& name) {
  std::string clean;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t length = Utf8SequenceLength(name, i);
    if (length == 0) {
      clean.push_back('?');
      ++i;
    } else if (length == 1 && IsControl(static_cast<unsigned char>(name[i]))) {
      clean.push_back(' ');
      ++i;
    } else {
      clean.append(name, i, length);
      i += length;
    }
  }
  const std::size_t first = clean.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  clean = clean.substr(first, clean.find_last_not_of(' ') - first + 1);
  std::string escaped;
  for (const char c : clean) {
    if (c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

// Writes `text` to `folder`/`fileName` through a temporary file and a rename, so that a menu
// never reads half a launcher. False on any failure.
bool WriteFileAtomically(const std::string& folder, const std::string& fileName,
                         const std::string& text, mode_t mode) {
  if (!PathExists(folder) && !CreateDirectories(folder)) return false;
  std::string temporary = AppendPath(folder, "." + fileName + ".XXXXXX");
  const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
  if (descriptor < 0) return false;
  bool written = fchmod(descriptor, mode) == 0;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t count = write(descriptor, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) done += static_cast<std::size_t>(count);
  }
  written = close(descriptor) == 0 && written;
  written = written && rename(temporary.c_str(), AppendPath(folder, fileName).c_str()) == 0;
  if (!written) unlink(temporary.c_str());
  return written;
}

bool RemoveFile(const std::string& folder, const std::string& name) {
  return unlink(AppendPath(folder, name).c_str()) == 0;
}

bool CopyFile(const std::string& from, const std::string& to) {
  boost::system::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  return !error;
}

}  // namespace

std::string FileUrlFromPath(const std::string& path) {
  if (path.empty() || path.front() != '/') {
    throw std::invalid_argument("Cannot convert path to URL");
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte) || c == '/') {
      url.push_back(c);
    } else {
      url.push_back('%');
      url.push_back(kHex[byte >> 4]);
      url.push_back(kHex[byte & 0x0f]);
    }
  }
  if (url.size() > kMaxUrlLength) throw std::invalid_argument("Cannot convert path to URL");
  return url;
}

std::string BuildInternetShortcut(const std::string& target) {
  const std::string url = FileUrlFromPath(target);
  const std::string text =
      "[InternetShortcut]\r\nURL=" + url + "\r\nIconFile=" + url + "\r\nIconIndex=0\r\n";
  return std::string("\xff\xfe", 2) + AsciiToUtf16Le(text);
}

std::string QuoteExecArgument(const std::string& argument) {
  static constexpr char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
  const bool quote = argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
  std::string quoted;
  if (quote) quoted.push_back('"');
  for (const char c : argument) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');
    quoted.push_back(c);
  }
  if (quote) quoted.push_back('"');
  // The escapes of string values are undone before the quoting is read, so each backslash of
  // the quoted text is written twice.
  std::string escaped;
  for (const char c : quoted) {
    if (c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

std::string BuildDesktopEntry(const std::string& name, const std::string& target) {
  if (target.empty() || target.front() != '/') {
    throw std::invalid_argument("A launcher needs an absolute program path");
  }
  for (const char c : target) {
    if (IsControl(static_cast<unsigned char>(c))) {
      throw std::invalid_argument("A launcher cannot run a path with control characters");
    }
  }
  std::string shownName = DesktopName(name);
  if (shownName.empty()) shownName = DesktopName(fs::path(target).filename().string());
  if (shownName.empty()) shownName = kFallbackName;
  std::string tryExec;
  for (const char c : target) {
    if (c == '\\') tryExec.push_back('\\');
    tryExec.push_back(c);
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Version=1.0\n"
         "Name=" +
         shownName +
         "\n"
         "Exec=" +
         QuoteExecArgument(target) +
         "\n"
         "TryExec=" +
         tryExec +
         "\n"
         "Icon=" +
         kIconName +
         "\n"
         "Terminal=false\n"
         "Categories=Network;FileTransfer;\n";
}

LinuxShortcut::LinuxShortcut(std::string name, std::string folder, std::string displayName,
                             SharedFileFactory& files, std::string applicationsFolder)
    : SimpleShortcut(std::move(name), std::move(folder)),
      displayName_(std::move(displayName)),
      files_(files),
      applicationsFolder_(std::move(applicationsFolder)) {}

bool LinuxShortcut::Create(const std::string& target) {
  const bool created = CreateInternetShortcut(target);
  CreateLaunchers(target);
  return created;
}

bool LinuxShortcut::CreateInternetShortcut(const std::string& target) {
  try {
    // Converted before anything on disk changes, so a target without a URL leaves the old
    // shortcut in place rather than an empty file.
    const std::string content = BuildInternetShortcut(target);
    if (!PathExists(folder()) && !CreateDirectories(folder())) return false;
    if (PathExists(JoinPath(folder(), fileName())) && !RemoveFile(folder(), fileName())) {
      return false;
    }
    const std::shared_ptr<SharedFile> file =
        files_.Create(Folder::Open(folder()), fileName(), SharedFileMode::CreateNew, 0,
                      std::numeric_limits<std::uint64_t>::max());
    file->Write(content.data(), 2);
    file->Write(content.data() + 2, content.size() - 2);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void LinuxShortcut::CreateLaunchers(const std::string& target) {
  try {
    const std::string entry =
        BuildDesktopEntry(displayName_.empty() ? name() : displayName_, target);
    // Beside the shortcut it is something to double-click, which file managers allow only for
    // executable launchers; in the menu folder it needs only to be read.
    WriteFileAtomically(folder(), name() + ".desktop", entry, 0755);
    if (!applicationsFolder_.empty()) {
      WriteFileAtomically(applicationsFolder_, InstalledLauncherName(), entry, 0644);
    }
  } catch (const std::exception&) {
    // No launcher: the shortcut file alone still leads back to the program.
  }
}

bool LinuxShortcut::CopyTo(const std::string& otherFolder, const std::string& otherName) {
  try {
    const std::string launcher = JoinPath(folder(), name() + ".desktop");
    if (PathExists(launcher)) CopyFile(launcher, JoinPath(otherFolder, otherName + ".desktop"));
    return CopyFile(JoinPath(folder(), fileName()), JoinPath(otherFolder, otherName + ".url"));
  } catch (const std::exception&) {
    return false;
  }
}

bool LinuxShortcut::Remove(const std::string& otherFolder, const std::string& otherName) {
  RemoveFile(otherFolder, otherName + ".desktop");
  return RemoveFile(otherFolder, otherName + ".url");
}

std::string LinuxShortcut::InstalledLauncherName() const {
  // A desktop file id keeps to letters, digits, '-' and '_'.
  std::string id = kLauncherPrefix;
  for (const char c : name()) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_';
    id.push_back(plain ? c : '_');
  }
  return id + ".desktop";
}

}  // namespace halv
