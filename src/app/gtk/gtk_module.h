#ifndef HALV_APP_GTK_GTK_MODULE_H_
#define HALV_APP_GTK_GTK_MODULE_H_

#include "app/updater_view.h"

// The entry point of the GTK module (libhalvane-gtk.so), found with dlsym by this name.
inline constexpr char kHalvGtkModuleName[] = "libhalvane-gtk.so";
inline constexpr char kHalvCreateGtkViewSymbol[] = "HalvCreateGtkView";

// Initialises GTK on the calling thread (which becomes the GUI thread) and returns a new window
// view owned by the caller, or null when no display can be opened.
using HalvCreateGtkViewFunction = halv::Updater::View* (*)(int* argc, char*** argv);

#endif  // HALV_APP_GTK_GTK_MODULE_H_
