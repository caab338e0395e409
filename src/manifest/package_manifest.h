#ifndef HALV_MANIFEST_PACKAGE_MANIFEST_H_
#define HALV_MANIFEST_PACKAGE_MANIFEST_H_

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/file_manifest.h"
#include "manifest/input_manifest.h"

namespace halv {

struct PackageContents;

// The most text a package document may hold: some four million files of one chunk.
constexpr std::uint64_t kMaxPackageDocumentSize = std::uint64_t{1} << 30;

// A symbolic link the package recreates: `path` is relative to the destination folder like a
// file's, `target` is the link's text: relative to the folder that holds the link, or absolute
// (then it names something outside the destination, which nothing of ours reads or writes
// through).
struct PackageLink {
  std::string path;
  std::string target;

  bool IsAbsolute() const { return !target.empty() && target.front() == '/'; }
};

// A file of the package that is a hard link of another: `path` (relative, leading slashes
// trimmed) is made a second name of `file`, one of GetFiles(), once that file is in place.
struct PackageHardLink {
  std::string path;
  std::shared_ptr<const FileManifest> file;
};

// A published package: its ids, its files in document order and the file that is started once
// the download is complete. Ownership: held by shared pointers; file manifests are shared with
// the works that transfer them. Thread-safety: filled once by Read before it is shared;
// afterwards every call is const and safe from any thread.
class PackageManifest : public InputManifest {
 public:
  using FileList = std::vector<std::shared_ptr<const FileManifest>>;

  virtual const std::string& GetId() const = 0;
  virtual const std::string& GetName() const = 0;
  virtual const std::string& GetPartnerId() const = 0;
  virtual const std::string& GetVersionId() const = 0;
  virtual const FileList& GetFiles() const = 0;
  // The files whose path equals GetRun(), in document order.
  virtual const FileList& GetRunFiles() const = 0;
  // The files whose path differs from GetRun(), in document order.
  virtual const FileList& GetOtherFiles() const = 0;
  // Empty when the package names no run file.
  virtual const std::string& GetRun() const = 0;
  // The last file whose path equals GetRun(); empty when GetRun() is empty.
  virtual std::shared_ptr<const FileManifest> GetRunFile() const = 0;
  // The links to recreate once every file is in place, in document order (leading slashes of
  // their paths trimmed). Read has checked that each stays inside the destination.
  virtual const std::vector<PackageLink>& GetLinks() const = 0;
  // The files that are second names of a file of GetFiles() (they are not in GetFiles()), in
  // document order. Read has checked that each names a file of GetFiles() with the same size
  // and checksums.
  virtual const std::vector<PackageHardLink>& GetHardLinks() const = 0;
  // The folders the package holds that hold nothing else of it (leading slashes trimmed), in
  // document order; every other folder is made for what it holds.
  virtual const std::vector<std::string>& GetFolders() const = 0;

  // Sum of the sizes of every file.
  std::uint64_t GetTotalSize() const;
};

// The package document: root element package with id, name, partnerId, versionId, an optional
// run, a files element that holds nothing but file elements (a file with a hardlink child is a
// second name of the file it names), an optional links element that holds nothing but link
// elements (path and target) and an optional folders element that holds nothing but folder
// elements (path). Paths of files, links and folders are checked together: no two alike, none
// inside a file or passing through a link. A link's target is absolute, or relative and then,
// resolved through the package's own links, stays inside the destination.
class StandardPackageManifest : public PackageManifest {
 public:
  StandardPackageManifest();
  ~StandardPackageManifest() override;

  // Reads the XML text of the document straight into the records of its files, keeping no
  // tree (manifest/package_document.h): at most kMaxPackageDocumentSize bytes, records at most
  // 8 times the text. Every defect throws ManifestParseException (running out of memory
  // included); the object must then be discarded.
  void ReadXml(std::istream& text);
  // The same from the tree of a parsed document (its child "package" is the root element).
  void Read(const boost::property_tree::ptree& tree) override;

  const std::string& GetId() const override { return id_; }
  const std::string& GetName() const override { return name_; }
  const std::string& GetPartnerId() const override { return partnerId_; }
  const std::string& GetVersionId() const override { return versionId_; }
  const FileList& GetFiles() const override { return files_; }
  const FileList& GetRunFiles() const override { return runFiles_; }
  const FileList& GetOtherFiles() const override { return otherFiles_; }
  const std::string& GetRun() const override { return run_; }
  std::shared_ptr<const FileManifest> GetRunFile() const override { return runFile_; }
  const std::vector<PackageLink>& GetLinks() const override { return links_; }
  const std::vector<PackageHardLink>& GetHardLinks() const override { return hardLinks_; }
  const std::vector<std::string>& GetFolders() const override { return folders_; }

 private:
  // Checks the package as a whole and takes it.
  void Adopt(PackageContents&& contents);

  std::string id_;
  std::string name_;
  std::string partnerId_;
  std::string versionId_;
  std::string run_;
  std::shared_ptr<const FileManifest> runFile_;
  FileList files_;
  FileList runFiles_;
  FileList otherFiles_;
  std::vector<PackageLink> links_;
  std::vector<PackageHardLink> hardLinks_;
  std::vector<std::string> folders_;
};

}  // namespace halv

#endif  // HALV_MANIFEST_PACKAGE_MANIFEST_H_
