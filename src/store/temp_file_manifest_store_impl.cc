#include "store/temp_file_manifest_store_impl.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <iterator>
#include <limits>
#include <memory>
#include <ostream>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "file/file_exception.h"
#include "file/paths.h"
#include "file/shared_file.h"
#include "manifest/manifest_exception.h"
#include "platform/system.h"
#include "store/json_text.h"
#include "transfer/transfer_params.h"

namespace halv {
namespace {

constexpr std::uint64_t kWholeFile = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kReadBlock = 4096;

std::string ErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Turns whatever a step threw into the manifest family; manifest exceptions pass unchanged.
[[noreturn]] void RethrowAsStreamError(const std::string& step) {
  try {
    throw;
  } catch (const ManifestException&) {
    throw;
  } catch (const std::exception& error) {
    throw ManifestStreamException(step + ": " + error.what());
  } catch (...) {
    throw ManifestStreamException(step);
  }
}

// Forces the file's data to the disk before it gets its final name, so that a crash cannot
// leave a complete-looking name over missing blocks. Any descriptor of the file will do: fsync
// flushes the file, not the descriptor.
void SyncFile(const std::string& path) {
  int descriptor;
  do {
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0)
    throw ManifestStreamException("cannot open " + path + ": " + ErrorText(errno));
  const int result = fsync(descriptor);
  const int error = errno;
  close(descriptor);
  if (result != 0) throw ManifestStreamException("cannot sync " + path + ": " + ErrorText(error));
}

// Makes the new name durable. A failure here is not reported: the file is complete and in place,
// and a Save reported as failed could never be repeated (the key is taken).
void SyncFolderOf(const std::string& path) {
  const std::string folder = boost::filesystem::path(path).parent_path().string();
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  [[maybe_unused]] const int result = fsync(descriptor);
  close(descriptor);
}

// Gives `from` the name `to` unless `to` exists. True when `from` is gone (renamed); false when
// it was linked and still has to be removed. Throws ManifestLocatorException when `to` exists.
bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int error = errno;
  // File systems without the no-replace flag still refuse a link over an existing name.
  if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
    if (link(from.c_str(), to.c_str()) == 0) return false;
    error = errno;
  }
  if (error == EEXIST) throw ManifestLocatorException(to + " already exists");
  throw ManifestStreamException("cannot move " + from + " to " + to + ": " + ErrorText(error));
}

}  // namespace

TempFileManifestStoreImpl::TempFileManifestStoreImpl(std::string folder, SharedFileFactory& factory,
                                                     std::string base)
    : folder_(std::move(folder)), fileFactory_(&factory), base_(std::move(base)) {}

std::string TempFileManifestStoreImpl::Base() const {
  return base_.empty() ? GetSystemTempDirectory() : base_;
}

void TempFileManifestStoreImpl::Retrieve(const std::string& key, std::ostream& stream) {
  const std::string base = Base();
  std::string relative;
  std::shared_ptr<SharedFile> file;
  try {
    relative = AppendPath(folder_, GetFileName(key));
    file = fileFactory_->Create(Folder::Open(base), relative, SharedFileMode::OpenExisting, 0,
                                kWholeFile);
  } catch (const FileBadPathException&) {
    throw ManifestLocatorException(relative + " does not exist in " + base);
  } catch (...) {
    RethrowAsStreamError("cannot open " + relative);
  }
  try {
    char buffer[kReadBlock];
    std::size_t count;
    do {
      count = file->Read(buffer, kReadBlock);
      stream.write(buffer, static_cast<std::streamsize>(count));
    } while (count == kReadBlock);
  } catch (...) {
    RethrowAsStreamError("cannot read " + relative);
  }
  if (!stream) throw ManifestStreamException("cannot keep the text of " + relative);
}

void TempFileManifestStoreImpl::Store(std::istream& stream, const std::string& key) {
  if (!stream) throw ManifestStreamException("the text to store for " + key + " was not made");
  const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  const std::string base = Base();
  std::string relative;
  std::string temporary;
  std::shared_ptr<SharedFile> file;
  std::shared_ptr<const Folder> folder;
  try {
    relative = AppendPath(folder_, GetFileName(key));
    // Beside the final name, so that moving it there is one operation on one file system; the
    // random part keeps concurrent saves and leftovers of a crashed run apart.
    temporary = relative + "." + NewTransferId().substr(0, 16) + ".tmp";
    // A new account may have no cache directory yet; the factory creates only the folders below.
    if (!base.empty()) CreateDirectories(base);
    folder = Folder::Open(base);
    file = fileFactory_->Create(folder, temporary, SharedFileMode::CreateNew, 0, kWholeFile);
  } catch (...) {
    RethrowAsStreamError("cannot create a file for " + key);
  }
  try {
    if (!text.empty()) file->Write(text.data(), text.size());
    file.reset();
    const std::string path = JoinPath(base, relative);
    const std::string temporaryPath = JoinPath(base, temporary);
    SyncFile(temporaryPath);
    if (!MoveWithoutReplacing(temporaryPath, path)) {
      // Linked: the text is in place; the second name only has to go.
      fileFactory_->Delete(*folder, temporary);
    }
    SyncFolderOf(path);
  } catch (...) {
    file.reset();
    fileFactory_->Delete(*folder, temporary);
    RethrowAsStreamError("cannot store " + relative);
  }
}

bool TempFileManifestStoreImpl::Remove(const std::string& key) {
  try {
    return fileFactory_->Delete(*Folder::Open(Base()), AppendPath(folder_, GetFileName(key)));
  } catch (...) {
    return false;
  }
}

std::size_t TempFileManifestStoreImpl::Prune(std::chrono::system_clock::duration maxAge,
                                             std::size_t keep) {
  std::size_t removed = 0;
  try {
    const std::string base = Base();
    const std::string folder = JoinPath(base, folder_);
    std::vector<std::pair<std::time_t, std::string>> files;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
      const boost::filesystem::file_status status = entry->symlink_status();
      if (status.type() != boost::filesystem::regular_file) continue;
      const std::time_t written = boost::filesystem::last_write_time(entry->path(), error);
      if (error) break;
      files.emplace_back(written, entry->path().filename().string());
    }
    std::sort(files.begin(), files.end(), std::greater<>());
    const std::shared_ptr<const Folder> baseFolder = files.empty() ? nullptr : Folder::Open(base);
    const std::time_t oldest =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - maxAge);
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (i < keep && files[i].first >= oldest) continue;
      if (fileFactory_->Delete(*baseFolder, AppendPath(folder_, files[i].second))) ++removed;
    }
  } catch (...) {
    // What could not be pruned stays for the next run.
  }
  return removed;
}

void JsonTempFileManifestStoreImpl::Parse(std::istream& stream, boost::property_tree::ptree& tree) {
  try {
    ReadJson(stream, tree);
  } catch (const ManifestParseException&) {
    throw;
  } catch (const std::exception& error) {
    throw ManifestParseException(error.what());
  }
}

void JsonTempFileManifestStoreImpl::Format(const boost::property_tree::ptree& tree,
                                           std::ostream& stream) {
  try {
    WriteCompactJson(tree, stream);
  } catch (const ManifestParseException&) {
    throw;
  } catch (const std::exception& error) {
    throw ManifestParseException(error.what());
  }
  if (!stream) throw ManifestParseException("the JSON text could not be written");
}

std::string JsonTempFileManifestStoreImpl::GetFileName(const std::string& key) {
  return key + ".json";
}

}  // namespace halv
