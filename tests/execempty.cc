// execempty: execs PROGRAM with an empty argument vector (argc 0), which
// execve allows and a careless main would crash on.
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: execempty PROGRAM\n", stderr);
    return 2;
  }
  char* empty[] = {nullptr};
  execve(argv[1], empty, environ);
  std::perror("execempty: execve");
  return 127;
}
