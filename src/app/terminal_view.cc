#include "app/terminal_view.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace halv {
namespace Updater {

TerminalView::TerminalView(int input, int output, int error)
    : input_(input),
      output_(output),
      error_(error),
      inputIsTerminal_(isatty(input) == 1),
      errorIsTerminal_(isatty(error) == 1) {}

void TerminalView::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quit_) return;
    tasks_.push_back(std::move(task));
  }
  wakeup_.notify_one();
}

void TerminalView::SetListener(ViewListener* listener) { listener_ = listener; }

void TerminalView::Open(const std::string& title) { Write(error_, title + "\n"); }

void TerminalView::SetTitle(const std::string& title) {
  EndLine();
  Write(error_, title + "\n");
}

void TerminalView::ShowLanguageChoice(const LanguageChoice& choice) {
  // Asked from the loop, so that the caller's flow is the same as with a window.
  Post([this, choice] { AskLanguage(choice); });
}

void TerminalView::AskLanguage(const LanguageChoice& choice) {
  if (listener_ == nullptr) return;
  if (!inputIsTerminal_) {
    // Scripts and CI must never hang on a prompt.
    listener_->OnLanguageChosen(-1);
    return;
  }
  EndLine();
  std::string text = choice.prompt + "\n";
  for (std::size_t i = 0; i < choice.names.size(); ++i) {
    text += "  " + std::to_string(i + 1) + ". " + choice.names[i] + "\n";
  }
  Write(output_, text);
  for (;;) {
    Write(output_, choice.numberPrompt + " ");
    std::string line;
    if (!ReadLine(&line)) {
      Write(output_, "\n");
      listener_->OnLanguageChosen(-1);
      return;
    }
    char* end = nullptr;
    const long number = std::strtol(line.c_str(), &end, 10);
    if (end != line.c_str() && *end == '\0' && number >= 1 &&
        static_cast<std::size_t>(number) <= choice.names.size()) {
      listener_->OnLanguageChosen(static_cast<int>(number - 1));
      return;
    }
  }
}

bool TerminalView::ReadLine(std::string* line) {
  for (;;) {
    const std::size_t end = pendingInput_.find('\n');
    if (end != std::string::npos) {
      *line = pendingInput_.substr(0, end);
      pendingInput_.erase(0, end + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    char buffer[256];
    const ssize_t count = read(input_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    pendingInput_.append(buffer, static_cast<std::size_t>(count));
  }
}

void TerminalView::ShowProgress(const std::string& statusText) {
  shownTenth_ = -1;
  ShowLine(statusText);
}

// The title already names the product, and Control-C cancels.
void TerminalView::ShowHeading(const std::string&, const std::string&) {}

void TerminalView::SetProgress(int percent, const std::string& percentText,
                               const std::string& sizeText, const std::string& statusText) {
  const std::string text = (percentText.empty() ? std::to_string(percent) + "%" : percentText) +
                           "  " + (sizeText.empty() ? std::string() : sizeText + "  ") + statusText;
  if (errorIsTerminal_) {
    ShowLine(text);
  } else if (percent / 10 != shownTenth_) {
    shownTenth_ = percent / 10;
    ShowLine(text);
  }
}

void TerminalView::ShowLine(const std::string& text) {
  if (errorIsTerminal_) {
    Write(error_, "\r" + text + "\x1b[K");
    lineOpen_ = true;
  } else {
    Write(error_, text + "\n");
  }
}

void TerminalView::EndLine() {
  if (!lineOpen_) return;
  Write(error_, "\n");
  lineOpen_ = false;
}

void TerminalView::ShowLaunching(const std::string& statusText) {
  EndLine();
  Write(error_, statusText + " ...\n");
}

void TerminalView::ShowError(const std::string& caption, const std::string& text,
                             const std::string&, const std::string&) {
  EndLine();
  Write(error_, caption + ": " + text + "\n");
  // Nothing waits to be dismissed on a terminal.
  Post([this] {
    if (listener_ != nullptr) listener_->OnErrorDismissed();
  });
}

void TerminalView::RunLoop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wakeup_.wait(lock, [this] { return quit_ || !tasks_.empty(); });
      if (quit_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void TerminalView::Quit() {
  EndLine();
  std::lock_guard<std::mutex> lock(mutex_);
  quit_ = true;
  tasks_.clear();
  wakeup_.notify_all();
}

void TerminalView::Write(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;  // a closed terminal: nothing more can be shown
    written += static_cast<size_t>(count);
  }
}

}  // namespace Updater
}  // namespace halv
