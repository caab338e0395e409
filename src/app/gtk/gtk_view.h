#ifndef HALV_APP_GTK_GTK_VIEW_H_
#define HALV_APP_GTK_GTK_VIEW_H_

#include <gtk/gtk.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "app/updater_view.h"

namespace halv {
namespace Updater {

// The width of the updater's window in pixels at 96 dpi: 213 dialog units of an 8-point font.
inline constexpr int kGtkWindowWidth = 320;

// The updater's window in GTK 3: a fixed-width window with the product's name, the language
// prompt, the language list and its confirm button, the progress bar, the size and status
// lines, the Cancel button and the pulsing bar of the launch; the error box is a modal dialog
// with the error icon, Close and, when offered, Retry. Escape, Cancel and the window's close
// button report OnCloseRequested. Every label carries the language set, so that Pango picks that
// language's glyph forms (Chinese and Japanese share code points); the product's name is never
// broken across lines, nor is a Korean word (Pango would break between any two syllables).
// Ownership: owned by the entry (through the GTK module); GTK must have been initialised.
// Thread-safety: Post from any thread (through the default main context); the rest on the GTK
// thread. Posted tasks run after GTK's own layout and drawing and are dropped once the view is
// quit or destroyed.
class GtkView final : public View {
 public:
  // The widgets, for tests that render and measure them; null until Open and after Quit.
  struct Widgets {
    GtkWidget* window = nullptr;
    GtkWidget* heading = nullptr;
    GtkWidget* prompt = nullptr;
    GtkWidget* languages = nullptr;
    GtkWidget* confirm = nullptr;
    GtkWidget* progress = nullptr;
    GtkWidget* size = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* cancel = nullptr;
    GtkWidget* pulse = nullptr;
    GtkWidget* errorBox = nullptr;
    GtkWidget* errorText = nullptr;
    GtkWidget* retry = nullptr;  // in the error box, when offered
    GtkWidget* close = nullptr;  // in the error box
  };

  GtkView();
  ~GtkView() override;

  void Post(std::function<void()> task) override;
  void SetListener(ViewListener* listener) override;
  void Open(const std::string& title) override;
  void SetTitle(const std::string& title) override;
  void SetLanguage(const std::string& language) override;
  void ShowLanguageChoice(const LanguageChoice& choice) override;
  void ShowHeading(const std::string& name, const std::string& cancel) override;
  void ShowProgress(const std::string& statusText) override;
  void SetProgress(int percent, const std::string& percentText, const std::string& sizeText,
                   const std::string& statusText) override;
  void ShowLaunching(const std::string& statusText) override;
  void ShowError(const std::string& caption, const std::string& text, const std::string& retry,
                 const std::string& close) override;
  void RunLoop() override;
  void Quit() override;

  const Widgets& widgets() const { return widgets_; }

 private:
  static gboolean OnDelete(GtkWidget* widget, GdkEvent* event, gpointer self);
  static gboolean OnKey(GtkWidget* widget, GdkEventKey* event, gpointer self);
  static void OnConfirm(GtkButton* button, gpointer self);
  static void OnCancel(GtkButton* button, gpointer self);
  static void OnErrorResponse(GtkDialog* dialog, gint response, gpointer self);
  static gboolean OnPulse(gpointer self);
  void StopPulse();
  // Raises the window's least height to what its content now asks, never lowering it, so that
  // the window keeps its height from view to view.
  void KeepHeight();
  // Sets `text` on `label` (a label, or a button whose child is one) with the language and the
  // unbreakable runs as attributes; bold for the heading.
  void SetText(GtkWidget* label, const std::string& text, bool bold = false);
  void DestroyWidgets();

  // Shared with every posted task: false once the view no longer runs tasks.
  const std::shared_ptr<std::atomic<bool>> open_;
  // GTK thread only.
  ViewListener* listener_ = nullptr;
  Widgets widgets_;
  guint pulseSource_ = 0;
  std::string language_;  // the catalog code of the texts shown
  std::string name_;      // the product's name, from ShowHeading
  int height_ = 0;        // the least height of the window's content so far
  bool quit_ = false;
};

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_GTK_GTK_VIEW_H_
