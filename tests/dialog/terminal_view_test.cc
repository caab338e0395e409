#include "app/terminal_view.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace halv {
namespace {

using Updater::LanguageChoice;
using Updater::TerminalView;
using Updater::ViewListener;

// Records the user's answers and ends the loop at the first one.
class Listener : public ViewListener {
 public:
  explicit Listener(TerminalView& view) : view_(view) {}
  void OnLanguageChosen(int index) override {
    chosen.push_back(index);
    view_.Quit();
  }
  void OnCloseRequested() override { view_.Quit(); }
  void OnErrorDismissed() override {
    dismissed = true;
    view_.Quit();
  }
  void OnRetryRequested() override { view_.Quit(); }
  std::vector<int> chosen;
  bool dismissed = false;

 private:
  TerminalView& view_;
};

// A pseudo-terminal: the view gets the terminal side, the test plays the user on the other.
class Pty {
 public:
  Pty() {
    EXPECT_EQ(openpty(&user_, &terminal_, nullptr, nullptr, nullptr), 0);
    // The text as written, without the terminal turning "\n" into "\r\n".
    termios modes;
    tcgetattr(terminal_, &modes);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(terminal_, TCSANOW, &modes);
  }
  ~Pty() {
    close(user_);
    close(terminal_);
  }
  int terminal() const { return terminal_; }
  void Type(const std::string& text) {
    ASSERT_EQ(write(user_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Everything written to the terminal so far.
  std::string Screen() {
    std::string text;
    const int flags = fcntl(user_, F_GETFL);
    fcntl(user_, F_SETFL, flags | O_NONBLOCK);
    char buffer[4096];
    ssize_t count;
    while ((count = read(user_, buffer, sizeof buffer)) > 0) text.append(buffer, count);
    fcntl(user_, F_SETFL, flags);
    return text;
  }

 private:
  int user_ = -1;
  int terminal_ = -1;
};

LanguageChoice Choice() {
  LanguageChoice choice;
  choice.prompt = "Please select the language for your download:";
  choice.confirm = "OK";
  choice.numberPrompt = "Type a number from 1 to 3 and press Enter:";
  choice.names = {"English", "Deutsch", "日本語"};
  return choice;
}

TEST(TerminalViewTest, AsksForANumberOnATerminalUntilOneFits) {
  const struct {
    const char* typed;
    int chosen;
  } cases[] = {{"2\n", 1}, {"x\n0\n4\n3\n", 2}, {"1\r\n", 0}};
  for (const auto& c : cases) {
    Pty pty;
    TerminalView view(pty.terminal(), pty.terminal(), pty.terminal());
    Listener listener(view);
    view.SetListener(&listener);
    pty.Type(c.typed);
    view.ShowLanguageChoice(Choice());
    view.RunLoop();
    EXPECT_EQ(listener.chosen, std::vector<int>{c.chosen}) << c.typed;
    const std::string screen = pty.Screen();
    EXPECT_NE(screen.find("Please select the language for your download:\n  1. English\n"
                          "  2. Deutsch\n  3. 日本語\nType a number from 1 to 3 and press Enter: "),
              std::string::npos)
        << screen;
  }
}

TEST(TerminalViewTest, AsksNothingWhenTheInputIsNotATerminal) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  Pty pty;
  TerminalView view(pipeFds[0], pty.terminal(), pty.terminal());
  Listener listener(view);
  view.SetListener(&listener);
  view.ShowLanguageChoice(Choice());
  view.RunLoop();
  EXPECT_EQ(listener.chosen, std::vector<int>{-1});
  EXPECT_EQ(pty.Screen().find("Please select"), std::string::npos);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

TEST(TerminalViewTest, EndOfInputKeepsTheLanguage) {
  Pty pty;
  TerminalView view(pty.terminal(), pty.terminal(), pty.terminal());
  Listener listener(view);
  view.SetListener(&listener);
  pty.Type("\x04");  // Ctrl-D on an empty line
  view.ShowLanguageChoice(Choice());
  view.RunLoop();
  EXPECT_EQ(listener.chosen, std::vector<int>{-1});
}

TEST(TerminalViewTest, RedrawsOneProgressLineThenPrintsLaunchAndError) {
  Pty pty;
  TerminalView view(pty.terminal(), pty.terminal(), pty.terminal());
  Listener listener(view);
  view.SetListener(&listener);
  view.Open("Halvane Demo Downloader");
  view.ShowProgress("Calculating time remaining");
  // Posted from another thread, as the monitor does.
  std::thread monitor([&view] {
    view.Post([&view] { view.SetProgress(40, "", "", "2 minutes remaining"); });
    view.Post([&view] { view.SetProgress(75, "", "3.0 MB of 4.0 MB", "1 minute remaining"); });
    view.Post([&view] { view.ShowLaunching("Launching Halvane Demo Downloader"); });
    view.Post([&view] {
      view.ShowError("Halvane Demo Downloader Error", "It failed.", "Retry", "Close");
    });
  });
  view.RunLoop();
  monitor.join();
  EXPECT_TRUE(listener.dismissed);
  EXPECT_EQ(pty.Screen(),
            "Halvane Demo Downloader\n"
            "\rCalculating time remaining\x1b[K"
            "\r40%  2 minutes remaining\x1b[K"
            "\r75%  3.0 MB of 4.0 MB  1 minute remaining\x1b[K\n"
            "Launching Halvane Demo Downloader ...\n"
            "Halvane Demo Downloader Error: It failed.\n");
}

TEST(TerminalViewTest, WritesWholeLinesWhenTheOutputIsNotATerminal) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  TerminalView view(out[0], out[1], out[1]);
  Listener listener(view);
  view.SetListener(&listener);
  view.ShowProgress("Calculating time remaining");
  for (int percent : {1, 5, 12, 19, 100}) view.SetProgress(percent, "", "", "soon");
  view.Quit();
  close(out[1]);
  std::string text;
  char buffer[1024];
  ssize_t count;
  while ((count = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, count);
  close(out[0]);
  EXPECT_EQ(text, "Calculating time remaining\n1%  soon\n12%  soon\n100%  soon\n");
}

// As halvane-get: what the updater says goes to stderr, and stdout stays the launched program's.
TEST(TerminalViewTest, ProgressGoesToTheErrorStreamAndTheOutputStaysFree) {
  int out[2];
  int err[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  {
    TerminalView view(in[0], out[1], err[1]);
    Listener listener(view);
    view.SetListener(&listener);
    view.Open("Halvane Demo Downloader");
    view.ShowProgress("Calculating time remaining");
    view.SetProgress(50, "50%", "1.0 MB of 2.0 MB", "soon");
    view.ShowLaunching("Launching Halvane Demo");
    view.Quit();
  }
  close(out[1]);
  close(err[1]);
  const auto drain = [](int fd) {
    std::string text;
    char buffer[1024];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, count);
    close(fd);
    return text;
  };
  EXPECT_EQ(drain(out[0]), "");
  EXPECT_EQ(drain(err[0]),
            "Halvane Demo Downloader\nCalculating time remaining\n50%  1.0 MB of 2.0 MB  soon\n"
            "Launching Halvane Demo ...\n");
  close(in[0]);
  close(in[1]);
}

TEST(TerminalViewTest, TasksPostedAfterQuitAreDropped) {
  Pty pty;
  TerminalView view(pty.terminal(), pty.terminal(), pty.terminal());
  bool ran = false;
  view.Quit();
  view.Post([&ran] { ran = true; });
  view.RunLoop();  // returns at once
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace halv
