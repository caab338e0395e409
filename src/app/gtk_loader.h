#ifndef HALV_APP_GTK_LOADER_H_
#define HALV_APP_GTK_LOADER_H_

#include <memory>
#include <string>

#include "app/updater_view.h"

namespace halv {
namespace Updater {

// The GTK window when a display is set (DISPLAY or WAYLAND_DISPLAY) and the GTK module
// libhalvane-gtk.so, from `moduleFolder` (the updater's folder) or else from the installed
// module folder beside that folder's parent (../lib/halvane-delivery), loads and opens it; null
// otherwise, with the reason in `why`: "no display", or every path tried with its dlerror(). The
// module stays loaded for the rest of the process, because GTK keeps callbacks into it. Call on the
// thread that will run the loop, before other threads exist. The reason OpenGtkView gives when
// neither DISPLAY nor WAYLAND_DISPLAY is set.
inline constexpr char kNoDisplay[] = "no display";

std::unique_ptr<View> OpenGtkView(const std::string& moduleFolder, int* argc, char*** argv,
                                  std::string* why);

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_GTK_LOADER_H_
