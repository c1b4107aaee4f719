// vistarium-cli: starts the command-line program beside it
// (vistarium-cli-run) with OpenMP's worker threads set to sleep while they
// wait, unless the environment already says how they wait. The program's
// OpenMP runtime reads that setting as the program's libraries load, before
// main; set from here, in a program that loads no library but the C
// library, it costs about 1 ms, where the program starting itself again
// with it set cost about 6 (app/worker_threads.h, which stays for a
// program started directly).
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int, char** argv) {
  if (std::getenv("OMP_WAIT_POLICY") == nullptr) setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
  static constexpr char kSuffix[] = "-run";
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - sizeof kSuffix);
  if (length > 0) {
    std::memcpy(path + length, kSuffix, sizeof kSuffix);
    execv(path, argv);
  } else if (argv[0] != nullptr && std::strlen(argv[0]) < sizeof path - sizeof kSuffix) {
    // Without /proc: by the name it was started under (a path, or looked
    // up on PATH).
    std::memcpy(path, argv[0], std::strlen(argv[0]));
    std::memcpy(path + std::strlen(argv[0]), kSuffix, sizeof kSuffix);
    execvp(path, argv);
  } else {
    std::strcpy(path, "vistarium-cli-run");
    execvp(path, argv);
  }
  std::fprintf(stderr, "vistarium-cli: cannot start %s: %s\n", path, std::strerror(errno));
  return 127;
}
