#ifndef HALV_APP_UPDATER_VIEW_H_
#define HALV_APP_UPDATER_VIEW_H_

#include <functional>
#include <string>
#include <vector>

namespace halv {
namespace Updater {

// What the user did, reported by a View on the GUI thread (the thread that runs RunLoop).
class ViewListener {
 public:
  virtual ~ViewListener() = default;
  // The user confirmed the language at `index` of the offered list; -1 keeps the language that
  // is set (a terminal that cannot ask, or the end of its input).
  virtual void OnLanguageChosen(int index) = 0;
  // The user closed the window, pressed Escape or the Cancel button.
  virtual void OnCloseRequested() = 0;
  // The error box was dismissed.
  virtual void OnErrorDismissed() = 0;
  // The error box's Retry button was pressed (the box is gone).
  virtual void OnRetryRequested() = 0;
};

// The language choice as shown: every text already translated.
struct LanguageChoice {
  std::string prompt;
  std::string confirm;
  std::string numberPrompt;  // the terminal's "type a number" line
  std::vector<std::string> names;
};

// The updater's one window on some toolkit: it shows views that the dialog logic (Dialog) fills
// with finished texts, and runs the GUI thread's loop. Platform-neutral; the GTK window and the
// terminal front end implement it.
// Ownership: owned by the entry; outlives the Dialog that drives it.
// Thread-safety: Post from any thread; every other method on the GUI thread only.
class View {
 public:
  virtual ~View() = default;

  // Runs `task` on the GUI thread from its loop, never inside the caller. Tasks posted after
  // Quit are dropped without running.
  virtual void Post(std::function<void()> task) = 0;

  // Where the user's actions are reported from now on; null for nowhere.
  virtual void SetListener(ViewListener* listener) = 0;
  // Creates the window with the title.
  virtual void Open(const std::string& title) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  // The language of the texts shown from now on, as a catalog code ("zh_CN"; "" for English),
  // so that a toolkit draws them with that language's glyph forms and line breaks. A view that
  // cannot use it ignores it.
  virtual void SetLanguage(const std::string& /*language*/) {}
  // The language prompt, the list with its first entry selected, and the confirm button.
  virtual void ShowLanguageChoice(const LanguageChoice& choice) = 0;
  // The product's name above the progress bar and the label of the button that cancels. The
  // name is kept on one line wherever a text shows it.
  virtual void ShowHeading(const std::string& name, const std::string& cancel) = 0;
  // The progress bar at 0, no size line, and the status line.
  virtual void ShowProgress(const std::string& statusText) = 0;
  // `percent` is 0 to 100 and `percentText` says it in the language ("42 %"; empty: the view's
  // own digits); `sizeText` the line of bytes done of all and the rate ("12.5 MB of 30.0 MB").
  virtual void SetProgress(int percent, const std::string& percentText, const std::string& sizeText,
                           const std::string& statusText) = 0;
  // The pulsing bar and the status line, while the downloaded program runs.
  virtual void ShowLaunching(const std::string& statusText) = 0;
  // A modal error box over the window (or alone when none is open) with the error icon and a
  // button labelled `close`; OnErrorDismissed follows when the user dismisses it. With a `retry`
  // label the box also has that button, which reports OnRetryRequested instead (a view that
  // cannot ask dismisses).
  virtual void ShowError(const std::string& caption, const std::string& text,
                         const std::string& retry, const std::string& close) = 0;

  // Runs the GUI loop until Quit.
  virtual void RunLoop() = 0;
  // Closes the window (no listener call follows) and ends RunLoop.
  virtual void Quit() = 0;
};

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_UPDATER_VIEW_H_
