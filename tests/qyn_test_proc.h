// What the test process holds, read from /proc: open descriptors and threads.
#pragma once

#include <dirent.h>

// The entries of aDirectory other than "." and ".."; -1 when it cannot be read.
inline int CountEntries(const char* aDirectory) {
  DIR* d = opendir(aDirectory);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int ThreadCount() { return CountEntries("/proc/self/task"); }
