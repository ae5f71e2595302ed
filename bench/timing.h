// Small timing helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The median of the samples (the mean of the middle two for an even count).
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Ends the program when the command's program (its first word that is not
// a variable's setting) is not installed: the shell would say so and time
// nothing, and any ratio against it would look met.
inline void RequireProgram(const std::string& command) {
  size_t at = 0;
  std::string program;
  while (at < command.size()) {
    const size_t end = std::min(command.find(' ', at), command.size());
    program = command.substr(at, end - at);
    if (program.find('=') == std::string::npos) break;
    at = end + 1;
  }
  if (std::system(("command -v '" + program + "' >/dev/null 2>&1").c_str()) != 0) {
    std::fprintf(stderr, "%s is not installed (scripts/setup.sh installs the yardsticks)\n",
                 program.c_str());
    std::exit(2);
  }
}

// Seconds of a shell command, -1 when it could not be run. grep stops at the
// first match when its output is /dev/null; a pipe makes it read the whole
// file, as it does for a user.
inline double TimeCommand(const std::string& command) {
  RequireProgram(command);
  const Clock::time_point begin = Clock::now();
  const int status = std::system((command + " | cat >/dev/null").c_str());
  const double seconds = Seconds(Clock::now() - begin);
  return status == -1 ? -1 : seconds;
}

// Seconds of one call of f.
template <typename F>
double Time(F&& f) {
  const Clock::time_point begin = Clock::now();
  f();
  return Seconds(Clock::now() - begin);
}
