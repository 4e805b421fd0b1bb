// noseccomp COMMAND [ARG...]: runs COMMAND where the seccomp() system call
// fails with ENOSYS, as on a kernel without it, so that libseccomp finds no
// user notification there.
#include <errno.h>
#include <seccomp.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: noseccomp COMMAND [ARG...]\n", stderr);
    return 2;
  }
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (!ctx ||
      seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0) != 0 ||
      seccomp_load(ctx) != 0) {
    std::fputs("noseccomp: cannot install the filter\n", stderr);
    return 125;
  }
  seccomp_release(ctx);
  execvp(argv[1], argv + 1);
  std::perror("noseccomp: exec");
  return 127;
}
