// Runs a program with its standard streams in files and a time limit, for
// tests that drive the Windows executables from the outside.
#ifndef VELKOR_TESTS_WINDOWS_CHILD_PROCESS_H
#define VELKOR_TESTS_WINDOWS_CHILD_PROCESS_H

#include <string>
#include <utility>
#include <vector>

struct ChildResult {
  bool started = false;   // the program could be spawned at all
  bool timedOut = false;  // killed after the time limit
  int exitStatus = -1;    // the exit status when it exited normally, else -1
  std::string out;        // everything written to standard output
  std::string err;        // everything written to standard error
};

// Starts argv[0] (a path, not searched) with argv as its words, standard input
// from /dev/null, and the environment of this process changed by setEnv
// (name, value; an empty value removes the variable). Waits at most
// timeoutMs for it to end.
ChildResult runChild(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& setEnv, int timeoutMs);

// Turns every CR LF pair into LF; a lone CR stays.
std::string crlfToLf(const std::string& text);

bool isRegularFile(const std::string& path);
bool isExecutableFile(const std::string& path);
bool readWholeFile(const std::string& path, std::string* content);

#endif  // VELKOR_TESTS_WINDOWS_CHILD_PROCESS_H
