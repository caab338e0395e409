#ifndef HALV_APP_GTK_LOADER_H_
#define HALV_APP_GTK_LOADER_H_

#include <memory>
#include <string>

#include "app/updater_view.h"

namespace halv {
namespace Updater {

// The GTK window when a display is set (DISPLAY or WAYLAND_DISPLAY) and the GTK module
// libhalvane-gtk.so loads and opens; null otherwise, with the reason in `why`: "no display", or
// every path tried with its dlerror(). The module is looked for at the path of HALV_GTK_MODULE
// when that is set (and only there), else beside the updater (`moduleFolder`: a build tree, a
// copy rebranded elsewhere), then in the installed folder seen from the updater's bin folder
// (../lib/halvane-delivery/gtk), then in the packages' /usr/lib/halvane-delivery/gtk, so that a
// product's updater made with halvane-rebrand finds it wherever it lies. The module stays loaded
// for the rest of the process, because GTK keeps callbacks into it. Call on the thread that will
// run the loop, before other threads exist.
inline constexpr char kGtkModuleVariable[] = "HALV_GTK_MODULE";
// The reason OpenGtkView gives when neither DISPLAY nor WAYLAND_DISPLAY is set.
inline constexpr char kNoDisplay[] = "no display";

std::unique_ptr<View> OpenGtkView(const std::string& moduleFolder, int* argc, char*** argv,
                                  std::string* why);

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_GTK_LOADER_H_
