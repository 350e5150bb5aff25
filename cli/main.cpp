#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  // A file-size limit (ulimit -f) makes the write fail with EFBIG instead of killing the
  // program: the recording then ends with its file saved and says why.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return CliMain(args, std::cout, std::cerr);
}
