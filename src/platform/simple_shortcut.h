#ifndef HALV_PLATFORM_SIMPLE_SHORTCUT_H_
#define HALV_PLATFORM_SIMPLE_SHORTCUT_H_

#include <string>
#include <utility>

namespace halv {

// An Internet shortcut file ("name.url" in a folder) that points back at a program, so that the
// user can run it again. Ownership: a short-lived value of the caller. Thread-safety: one caller
// at a time.
class SimpleShortcut {
 public:
  SimpleShortcut(std::string name, std::string folder)
      : name_(std::move(name)), fileName_(name_ + ".url"), folder_(std::move(folder)) {}
  virtual ~SimpleShortcut() = default;
  SimpleShortcut(const SimpleShortcut&) = delete;
  SimpleShortcut& operator=(const SimpleShortcut&) = delete;

  // Writes folder()/fileName() pointing at the file `target`, replacing an older one. False on
  // any failure (nothing new is written when the old file cannot be deleted); never throws.
  virtual bool Create(const std::string& target) = 0;
  // Copies the shortcut file to `otherFolder`/`otherName`.url; false on any failure.
  virtual bool CopyTo(const std::string& otherFolder, const std::string& otherName) = 0;
  // Deletes `otherFolder`/`otherName`.url; false on any failure.
  virtual bool Remove(const std::string& otherFolder, const std::string& otherName) = 0;

  // The shortcut's name without extension.
  const std::string& name() const { return name_; }
  // name() followed by ".url".
  const std::string& fileName() const { return fileName_; }
  // The folder that holds the shortcut (UTF-8).
  const std::string& folder() const { return folder_; }

 private:
  const std::string name_;
  const std::string fileName_;
  const std::string folder_;
};

}  // namespace halv

#endif  // HALV_PLATFORM_SIMPLE_SHORTCUT_H_
