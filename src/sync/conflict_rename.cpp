#define TIDE_LOG_TAG "conflict-rename"
#define TIDE_LOG_COMPONENT "conflict_rename_debug"
#include "sync/conflict_rename.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>

#include "core/logger.h"
#include "sync/file_ops.h"

namespace tide {

namespace {

std::atomic<time_t> g_fixed_clock{0};

time_t Now() {
  time_t fixed = g_fixed_clock.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : time(nullptr);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A name is taken also when the folder holds it in another case: the
// server and the database tell names apart without regard to case, so such
// a conflict copy would meet the other name there.
bool TakenInAnyCase(const std::string& path) {
  if (Exists(path)) return true;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const char* name = path.c_str() + slash + 1;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  bool taken = false;
  while (struct dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name) == 0) {
      taken = true;
      break;
    }
  }
  closedir(dir);
  return taken;
}

// Tries the plain candidate and then the numbered ones, each with a move
// that refuses to replace: a name taken between the look and the move only
// makes the next number be tried, and nothing existing is ever overwritten.
int MoveToFreeCandidate(const std::string& path, const std::string& base, const std::string& suffix,
                        std::string* chosen) {
  int result = -3;
  for (int n = 0; n <= CONFLICT_MAX_NUMBER; ++n) {
    *chosen = ConflictCandidate(base, suffix, n);
    if (TakenInAnyCase(*chosen)) continue;
    result = FSMoveNoReplace(path, *chosen);
    if (result != FS_MOVE_TARGET_EXISTS) return result;
  }
  // Every name is taken: leave the object where it is.
  return result == FS_MOVE_TARGET_EXISTS ? -3 : result;
}

}  // namespace

void SetConflictClockForTest(time_t when) { g_fixed_clock.store(when, std::memory_order_relaxed); }

std::string ConflictTime(time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  char buffer[64];
  if (strftime(buffer, sizeof buffer, "%b-%d-%H%M-%Y", &local) == 0) return "";
  return buffer;
}

std::string ConflictCandidate(const std::string& path, const std::string& suffix, int n) {
  size_t dot = path.rfind('.');
  size_t separator = path.find_last_of("/\\");
  bool has_extension = dot != std::string::npos && separator != std::string::npos && dot > separator;
  std::string stem = has_extension ? path.substr(0, dot) : path;
  std::string extension = has_extension ? path.substr(dot) : "";
  std::string number;
  if (n > 0) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "_%d", n);
    number = buffer;
  }
  return stem + suffix + number + extension;
}

int ConflictRename(const std::string& path, const std::string& label, const std::string& reason) {
  if (path.empty()) return -1;
  std::string suffix = "_" + label + "_" + ConflictTime(Now()) + "_" + reason;
  std::string candidate;
  int result = MoveToFreeCandidate(path, path, suffix, &candidate);
  if (result == 0) {
    TLOG_INFO("ConflictRename from [%s] to [%s], reason = [%s].", path.c_str(), candidate.c_str(), reason.c_str());
  } else {
    TLOG_ERROR("ConflictRename failed. From:[%s] To:[%s] err = [%d]", path.c_str(), candidate.c_str(), result);
  }
  return result;
}

int WhiteSpaceConflictRename(const std::string& path, const std::string& new_name, const std::string& label) {
  if (path.empty()) return -1;
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash);
  size_t first = new_name.find_first_not_of(' ');
  size_t last = new_name.find_last_not_of(' ');
  std::string trimmed = first == std::string::npos ? "" : new_name.substr(first, last - first + 1);
  std::string target = directory + "/" + trimmed;

  if (!trimmed.empty() && !Exists(target) && FSMoveNoReplace(path, target) == 0) {
    TLOG_INFO("WhiteSpaceConflictRename from [%s] to [%s].", path.c_str(), target.c_str());
    return 0;
  }
  std::string suffix = "_" + label + "_" + ConflictTime(Now()) + "_WhiteSpaceConflict";
  std::string candidate;
  int result = MoveToFreeCandidate(path, target, suffix, &candidate);
  if (result == 0) {
    TLOG_INFO("WhiteSpaceConflictRename from [%s] to [%s].", path.c_str(), candidate.c_str());
  } else {
    TLOG_ERROR("WhiteSpaceConflictRename failed. From:[%s] To:[%s] err=[%d]", path.c_str(), candidate.c_str(),
               result);
  }
  return result;
}

}  // namespace tide
