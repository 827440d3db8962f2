#include <cstdio>
#include <cstring>

#include "platform/Messages.h"

int main(int argc, char** argv) {
  strataeq::SetMainThread();
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("strataeq-cli %s\n", STRATAEQ_VERSION);
    return 0;
  }
  std::fprintf(stderr, "usage: strataeq-cli --version\n");
  return 2;
}
