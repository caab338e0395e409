#include "app/gtk_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

#include "app/gtk/gtk_module.h"
#include "file/paths.h"

namespace halv {
namespace Updater {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The parent folder of `folder` (an absolute path without a trailing slash).
std::string FolderOf(const std::string& folder) {
  const std::size_t slash = folder.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : folder.substr(0, slash);
}

}  // namespace

std::unique_ptr<View> OpenGtkView(const std::string& moduleFolder, int* argc, char*** argv,
                                  std::string* why) {
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) {
    *why = kNoDisplay;
    return nullptr;
  }
  std::vector<std::string> candidates;
  if (IsSet(kGtkModuleVariable)) {
    candidates.push_back(std::getenv(kGtkModuleVariable));
  } else {
    candidates = {JoinPath(moduleFolder, kHalvGtkModuleName),
                  AppendPath(AppendPath(FolderOf(moduleFolder), HALV_INSTALLED_GTK_MODULE_DIR),
                             kHalvGtkModuleName),
                  AppendPath(HALV_PACKAGED_GTK_MODULE_DIR, kHalvGtkModuleName)};
  }
  void* module = nullptr;
  std::string path;
  std::string failures;
  for (const std::string& candidate : candidates) {
    path = candidate;
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module != nullptr) break;
    const char* error = dlerror();
    if (!failures.empty()) failures += "; ";
    failures += error != nullptr ? error : "cannot load " + path;
  }
  if (module == nullptr) {
    // dlerror() names the path and the cause (missing file, missing library, wrong machine).
    *why = "the window module could not be loaded (" + failures + ")";
    return nullptr;
  }
  auto create =
      reinterpret_cast<HalvCreateGtkViewFunction>(dlsym(module, kHalvCreateGtkViewSymbol));
  if (create == nullptr) {
    *why = path + " has no " + kHalvCreateGtkViewSymbol;
    return nullptr;
  }
  std::unique_ptr<View> view(create(argc, argv));
  if (!view) *why = "the display cannot be opened";
  return view;
}

}  // namespace Updater
}  // namespace halv
