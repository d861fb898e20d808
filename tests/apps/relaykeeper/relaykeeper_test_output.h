// Reading what the daemon, run inside the test process, wrote to its output files.
#pragma once

#include <cstdio>
#include <string>

// Everything written to aFile so far; writing goes on at its end afterwards.
inline std::string Contents(std::FILE* aFile) {
  std::fflush(aFile);
  std::string out;
  std::rewind(aFile);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, aFile)) > 0) out.append(buf, n);
  std::fseek(aFile, 0, SEEK_END);
  return out;
}
