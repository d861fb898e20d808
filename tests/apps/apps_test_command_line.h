// Parsing a program's command line in the apps' tests, from strings.
#pragma once

#include <string>
#include <vector>

// aParse(argc, argv) over aProgram followed by aArgs.
template <typename F> auto ParseCommandLine(F aParse, const std::string& aProgram, std::vector<std::string> aArgs) {
  aArgs.insert(aArgs.begin(), aProgram);
  std::vector<const char*> argv;
  for (const std::string& a : aArgs) argv.push_back(a.c_str());
  return aParse(static_cast<int>(argv.size()), argv.data());
}
