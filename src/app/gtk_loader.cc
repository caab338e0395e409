#include "app/gtk_loader.h"

#include <dlfcn.h>

#include <cstdlib>

#include "app/gtk/gtk_module.h"
#include "file/paths.h"

namespace halv {
namespace Updater {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

std::unique_ptr<View> OpenGtkView(const std::string& moduleFolder, int* argc, char*** argv,
                                  std::string* why) {
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) {
    *why = "no display";
    return nullptr;
  }
  const std::string path = JoinPath(moduleFolder, kHalvGtkModuleName);
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = dlerror();
    *why = error != nullptr ? error : "cannot load " + path;
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
