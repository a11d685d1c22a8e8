// tornax-test-subreaper STATUSFILE COMMAND [ARG...]
//
// Runs the command as a child subreaper, so that a daemon which forks and
// detaches still ends as our descendant, and appends one line per ended
// descendant to STATUSFILE: "<pid> exit <status>" or "<pid> signal <number>".
// Exits with the command's own status once every descendant has ended.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s STATUSFILE COMMAND [ARG...]\n", argv[0]);
    return 125;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    std::perror("prctl");
    return 125;
  }
  const pid_t command = fork();
  if (command < 0) {
    std::perror("fork");
    return 125;
  }
  if (command == 0) {
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int command_status = 125;
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    const bool exited = WIFEXITED(status);
    const int value = exited ? WEXITSTATUS(status) : WTERMSIG(status);
    if (std::FILE *out = std::fopen(argv[1], "a")) {
      std::fprintf(out, "%d %s %d\n", static_cast<int>(pid), exited ? "exit" : "signal", value);
      std::fclose(out);
    }
    if (pid == command) {
      command_status = exited ? value : 128 + value;
    }
  }
  return command_status;
}
