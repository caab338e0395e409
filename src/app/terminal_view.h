#ifndef HALV_APP_TERMINAL_VIEW_H_
#define HALV_APP_TERMINAL_VIEW_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/updater_view.h"

namespace halv {
namespace Updater {

// The updater's front end when there is no display: the same flow as text. A numbered language
// prompt on the output (only when the input is a terminal; otherwise the language that is set
// stays); then, on the error stream as halvane-get does, the title, one progress line redrawn in
// place (a new line per tenth of the way when the error stream is not a terminal), the launch
// line and the error in plain words. The output stays free for the launched program.
// Ownership: owned by the entry; the descriptors are not owned.
// Thread-safety: Post from any thread; the rest on the thread that runs RunLoop.
class TerminalView final : public View {
 public:
  TerminalView(int input, int output, int error);

  void Post(std::function<void()> task) override;
  void SetListener(ViewListener* listener) override;
  void Open(const std::string& title) override;
  void SetTitle(const std::string& title) override;
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

 private:
  void AskLanguage(const LanguageChoice& choice);
  // One line of input without its end; false at the end of the input.
  bool ReadLine(std::string* line);
  void ShowLine(const std::string& text);
  // Ends a line that is redrawn in place, so that the next text starts on a line of its own.
  void EndLine();
  void Write(int fd, const std::string& text);

  // Constant after construction.
  const int input_;
  const int output_;
  const int error_;
  const bool inputIsTerminal_;
  const bool errorIsTerminal_;

  // Loop thread only.
  ViewListener* listener_ = nullptr;
  bool lineOpen_ = false;
  int shownTenth_ = -1;
  std::string pendingInput_;

  std::mutex mutex_;
  std::condition_variable wakeup_;
  // Guarded by mutex_.
  bool quit_ = false;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_TERMINAL_VIEW_H_
