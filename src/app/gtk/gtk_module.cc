// The loadable GTK front end of halvane-updater. The executable does not link GTK: it opens
// this module with dlopen when a display is set, so the updater also starts on machines without
// a display or without GTK.

#include <gtk/gtk.h>

#include "app/gtk/gtk_module.h"
#include "app/gtk/gtk_view.h"

extern "C" __attribute__((visibility("default"))) halv::Updater::View* HalvCreateGtkView(
    int* argc, char*** argv) {
  // gtk_init_check opens the display; without one the caller falls back to the terminal.
  if (!gtk_init_check(argc, argv)) return nullptr;
  return new halv::Updater::GtkView();
}
