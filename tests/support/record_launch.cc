// A stand-in for a launched program. Run normally, it writes its working folder and then each of
// its arguments, every one ended by a NUL byte, to the file named by $HALV_RECORD_FILE. Run as
// "record_launch --hold-for-writing PATH", it keeps PATH open for writing, says "ready" on its
// standard output and waits for its standard input to close, so that a test can make a program
// file busy from another process.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--hold-for-writing") == 0) {
    if (open(argv[2], O_WRONLY | O_CLOEXEC) < 0) return 2;
    if (write(STDOUT_FILENO, "ready\n", 6) != 6) return 2;
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
  }
  const char* record = std::getenv("HALV_RECORD_FILE");
  char folder[PATH_MAX];
  if (record == nullptr || getcwd(folder, sizeof folder) == nullptr) return 2;
  std::ofstream out(record, std::ios::binary);
  out << folder << '\0';
  for (int i = 1; i < argc; ++i) out << argv[i] << '\0';
  return out.good() ? 0 : 2;
}
