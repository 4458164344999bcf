// An environment variable set for the life of a scope.
#pragma once
#include <cstdlib>
#include <string>

struct ScopedEnv {
  std::string name;
  ScopedEnv(const char* n, const std::string& v) : name(n) { setenv(n, v.c_str(), 1); }
  ~ScopedEnv() { unsetenv(name.c_str()); }
};
