#include "core/pid_file.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tide {

namespace {

// A process that has exited but was not yet collected by its parent still
// answers signal 0.
bool IsZombie(int pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* fp = fopen(path.c_str(), "re");
  if (!fp) return false;
  char line[512];
  bool zombie = false;
  if (fgets(line, sizeof line, fp) != nullptr) {
    // The state follows the command name, which is in parentheses and may
    // itself hold blanks and parentheses.
    const char* end = strrchr(line, ')');
    zombie = end != nullptr && end[1] == ' ' && end[2] == 'Z';
  }
  fclose(fp);
  return zombie;
}

}  // namespace

bool ProcessRunning(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM) && !IsZombie(pid); }

int ReadPidFile(const std::string& path) {
  FILE* fp = fopen(path.c_str(), "re");
  if (!fp) return 0;
  int pid = 0;
  if (fscanf(fp, "%d\n", &pid) != 1) pid = 0;
  fclose(fp);
  return pid;
}

}  // namespace tide
