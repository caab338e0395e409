#ifndef HALV_PLATFORM_LINUX_SHORTCUT_H_
#define HALV_PLATFORM_LINUX_SHORTCUT_H_

#include <string>

#include "platform/simple_shortcut.h"

namespace halv {

class SharedFileFactory;

// The Internet shortcut of SimpleShortcut, written through a SharedFileFactory, complemented by
// what Linux desktops read: a freedesktop launcher ("name.desktop") beside the shortcut and a
// copy of it in the user's applications folder, so that the desktop's menu offers the program
// again. The launchers are a courtesy: their failures change no result.
// Ownership: a short-lived value of the caller; `files` must outlive it. Thread-safety: one
// caller at a time.
class LinuxShortcut : public SimpleShortcut {
 public:
  // `displayName` names the launchers in menus (empty: the shortcut's name).
  // `applicationsFolder` is where menus look for launchers (GetApplicationsDirectory); empty
  // installs none there.
  LinuxShortcut(std::string name, std::string folder, std::string displayName,
                SharedFileFactory& files, std::string applicationsFolder);

  // Writes the shortcut file, then the launchers (whatever became of the shortcut file). True
  // when the shortcut file was written.
  bool Create(const std::string& target) override;
  // Also copies the launcher beside the shortcut, when there is one.
  bool CopyTo(const std::string& otherFolder, const std::string& otherName) override;
  // Also deletes `otherName`.desktop beside it, when there is one.
  bool Remove(const std::string& otherFolder, const std::string& otherName) override;

  // The file name of the launcher installed in the applications folder.
  std::string InstalledLauncherName() const;

 private:
  bool CreateInternetShortcut(const std::string& target);
  void CreateLaunchers(const std::string& target);

  // Constant after construction.
  const std::string displayName_;
  SharedFileFactory& files_;
  const std::string applicationsFolder_;
};

// "file://" followed by the absolute `path` with every byte but the unreserved characters of URLs
// (letters, digits, "-", ".", "_", "~") and "/" percent-encoded: "/opt/a b" gives
// "file:///opt/a%20b". Throws std::invalid_argument "Cannot convert path to URL" when `path` is
// empty or relative, or when the URL is longer than the 2084 characters readers of the format
// accept.
std::string FileUrlFromPath(const std::string& path);

// The bytes of an Internet shortcut to `target`: FF FE, then in UTF-16LE the lines
// "[InternetShortcut]", "URL=" and "IconFile=" each followed by the file URL, and "IconIndex=0",
// each ended by CR LF. Throws what FileUrlFromPath throws.
std::string BuildInternetShortcut(const std::string& target);

// `argument` as one argument of a launcher's Exec key: enclosed in double quotes when it holds
// a reserved character, with '"', '`', '$' and '\' escaped inside, '%' doubled, and then the
// escapes of a string value applied (so one backslash becomes four).
std::string QuoteExecArgument(const std::string& argument);

// The text of a launcher named `name` that runs the absolute path `target` without arguments.
// Throws std::invalid_argument when `target` is relative or holds a control character.
std::string BuildDesktopEntry(const std::string& name, const std::string& target);

}  // namespace halv

#endif  // HALV_PLATFORM_LINUX_SHORTCUT_H_
