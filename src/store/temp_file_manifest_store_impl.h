#ifndef HALV_STORE_TEMP_FILE_MANIFEST_STORE_IMPL_H_
#define HALV_STORE_TEMP_FILE_MANIFEST_STORE_IMPL_H_

#include <iosfwd>
#include <chrono>
#include <cstddef>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "store/manifest_sink.h"

namespace halv {

class SharedFileFactory;

// Keeps one file per key in `folder` below the system's temporary directory
// (GetSystemTempDirectory, read at every call), opened through a shared-file factory. A key is
// written once: Store never replaces an existing file, and a file appears under its final name only
// complete. Ownership: by the store that holds it; the factory is not owned and must outlive it.
// Thread-safety: no state changes after construction; calls for different keys may run on any
// threads at once.
class TempFileManifestStoreImpl : public ManifestStoreImpl {
 public:
  // `factory` must open real files at JoinPath(folder, relativePath), as PosixSharedFileFactory
  // does: Store syncs and links the file it wrote by that path.
  // `base` holds `folder`; empty for the system's temporary directory, read at every call.
  TempFileManifestStoreImpl(std::string folder, SharedFileFactory& factory,
                            std::string base = std::string());

  // Appends the key's file to `stream`. Throws ManifestLocatorException when there is no such
  // file, ManifestStreamException when it cannot be opened or read.
  void Retrieve(const std::string& key, std::ostream& stream) override;
  // Writes the text to a new temporary file beside the key's file (created exclusively), syncs
  // it, and links it to the key's name without replacing anything there; the temporary name is
  // removed whether or not that succeeds. Creates the folders on the way. Throws
  // ManifestLocatorException when the key's file already exists (it is left unchanged), and
  // ManifestStreamException for every other failure (the stream failed, a folder cannot be
  // created, the disk is full, access is denied), leaving no file under the key's name.
  void Store(std::istream& stream, const std::string& key) override;

  // The name of the key's file inside the folder.
  virtual std::string GetFileName(const std::string& key) = 0;

  // Deletes the key's file; false when there was none or it could not be deleted. Never throws.
  bool Remove(const std::string& key);
  // Deletes the files of the folder last written more than `maxAge` ago, and all but the newest
  // `keep` of the rest; returns how many went. Never throws.
  std::size_t Prune(std::chrono::system_clock::duration maxAge, std::size_t keep);

  const std::string& folder() const { return folder_; }

 private:
  // Constant after construction.
  std::string Base() const;

  const std::string folder_;
  SharedFileFactory* const fileFactory_;
  const std::string base_;
};

// The store's files hold compact JSON (store/json_text.h): GetFileName(key) is key + ".json".
class JsonTempFileManifestStoreImpl : public TempFileManifestStoreImpl {
 public:
  using TempFileManifestStoreImpl::TempFileManifestStoreImpl;

  // ReadJson. Throws ManifestParseException.
  void Parse(std::istream& stream, boost::property_tree::ptree& tree) override;
  // WriteCompactJson. Throws ManifestParseException, for text that is not valid UTF-8 too.
  void Format(const boost::property_tree::ptree& tree, std::ostream& stream) override;
  std::string GetFileName(const std::string& key) override;
};

}  // namespace halv

#endif  // HALV_STORE_TEMP_FILE_MANIFEST_STORE_IMPL_H_
