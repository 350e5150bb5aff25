// Runs shell commands (the program under test among them) and collects what they print.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct CliRun {
  int status;       // the exit status, or -1 when the command did not exit normally
  std::string out;  // standard output and standard error, interleaved
};

inline CliRun Shell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  CliRun run{-1, {}};
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
