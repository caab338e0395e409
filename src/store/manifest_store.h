#ifndef HALV_STORE_MANIFEST_STORE_H_
#define HALV_STORE_MANIFEST_STORE_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

#include "store/temp_file_manifest_store_impl.h"

namespace halv {

class SharedFileFactory;

// Keeps manifests of type T (an InputManifest and OutputManifest) under string keys across runs.
// No operation throws: callers learn of a failure only from the result.
// Ownership: one store lives for the whole run. Thread-safety: as the implementation says.
template <typename T>
class ManifestStore {
 public:
  ManifestStore() = default;
  ManifestStore(const ManifestStore&) = delete;
  ManifestStore& operator=(const ManifestStore&) = delete;
  virtual ~ManifestStore() = default;

  // Fills `manifest` from what was saved under `key`; false when there is nothing, or nothing
  // readable (`manifest` may then be partly filled).
  virtual bool Load(const std::string& key, T& manifest) = 0;
  // Saves `manifest` under `key`; false when that failed or the key was already taken.
  virtual bool Save(const std::string& key, const T& manifest) = 0;
  // Forgets `key`; false when there was nothing to forget or that failed.
  virtual bool Remove(const std::string& key) = 0;
};

// A store of one file per key below the system's temporary directory; the work is done by the
// implementation that GetImpl returns. Thread-safety: calls for different keys may run at once.
template <typename T>
class TempFileManifestStore : public ManifestStore<T> {
 public:
  bool Load(const std::string& key, T& manifest) override {
    try {
      GetImpl().Load(key, manifest);
      return true;
    } catch (...) {
      return false;
    }
  }

  bool Save(const std::string& key, const T& manifest) override {
    try {
      GetImpl().Save(key, manifest);
      return true;
    } catch (...) {
      return false;
    }
  }

  bool Remove(const std::string& key) override { return GetImpl().Remove(key); }
  // See TempFileManifestStoreImpl::Prune.
  std::size_t Prune(std::chrono::system_clock::duration maxAge, std::size_t keep) {
    return GetImpl().Prune(maxAge, keep);
  }

 protected:
  virtual TempFileManifestStoreImpl& GetImpl() = 0;
};

// The transfer store: compact JSON files named key + ".json" in `folder` (relative to `base`,
// or to the system's temporary directory when `base` is empty), opened through `factory`, which
// must outlive the store.
template <typename T>
class JsonTempFileManifestStore : public TempFileManifestStore<T> {
 public:
  JsonTempFileManifestStore(std::string folder, SharedFileFactory& factory,
                            std::string base = std::string())
      : impl_(std::move(folder), factory, std::move(base)) {}

 protected:
  TempFileManifestStoreImpl& GetImpl() override { return impl_; }

 private:
  JsonTempFileManifestStoreImpl impl_;
};

}  // namespace halv

#endif  // HALV_STORE_MANIFEST_STORE_H_
