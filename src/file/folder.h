#ifndef HALV_FILE_FOLDER_H_
#define HALV_FILE_FOLDER_H_

#include <memory>
#include <string>

namespace halv {

// An open folder that files are reached beneath: opened once, by its path, and from then on
// only through its descriptor, so a folder renamed or replaced by a link after it was opened
// never redirects what is written below it.
// Ownership: held by shared pointers; the descriptor stays open while any holder keeps it (the
// files opened beneath it and their windows included). Thread-safety: const after construction,
// any thread.
class Folder {
 public:
  // Opens the existing folder `path`. A link in `path` itself is followed: the folder is the
  // caller's choice, and nothing below it is ever followed. Throws FileBadPathException when
  // `path` is not a folder, another FileException when it cannot be opened.
  static std::shared_ptr<const Folder> Open(const std::string& path);

  virtual ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  int descriptor() const { return descriptor_; }
  // The absolute path the folder had when it was opened, for messages.
  const std::string& path() const { return path_; }

 protected:
  // Takes ownership of `descriptor`, the folder opened as `path`.
  Folder(int descriptor, const std::string& path);

 private:
  const int descriptor_;
  const std::string path_;
};

// Opens `path` as a folder descriptor (O_DIRECTORY, close-on-exec), following links in `path`;
// the descriptor is the caller's. Throws as Folder::Open.
int OpenFolderDescriptor(const std::string& path);

}  // namespace halv

#endif  // HALV_FILE_FOLDER_H_
