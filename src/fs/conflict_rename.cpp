#define TIDE_LOG_TAG "conflict-rename"
#define TIDE_LOG_COMPONENT "conflict_rename_debug"
#include "fs/conflict_rename.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <string_view>
#include <cstdio>
#include <vector>

#include "core/logger.h"
#include "fs/copy_data.h"

namespace tide {

namespace {

std::atomic<time_t> g_fixed_clock{0};

time_t Now() {
  time_t fixed = g_fixed_clock.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : time(nullptr);
}

// 1 when something is at `relative`, 0 when not, FS_LINK_REFUSED when a
// link stands on the way (no name there can be used), -1 when it cannot be
// told (the name counts as taken).
int Exists(const ViewDir& view, const std::string& relative) {
  FileInfo info;
  int looked = view.Stat(relative, &info);
  if (looked == FS_LINK_REFUSED) return looked;
  return looked != 0 || info.m_exists ? 1 : 0;
}

// A name is also taken when the folder holds it in another case: the
// server and the database tell names apart without regard to case, so such
// a conflict copy would meet the other name there. Same results as Exists.
int TakenInAnyCase(const ViewDir& view, const std::string& relative) {
  int taken = Exists(view, relative);
  if (taken != 0) return taken;
  UniqueFd parent;
  std::string leaf;
  if (view.OpenParent(relative, &parent, &leaf) < 0) return 0;
  std::vector<DirEntryName> names;
  if (ReadDirectoryNames(parent.Get(), &names) < 0) return 0;
  for (const DirEntryName& entry : names) {
    if (strcasecmp(entry.m_name.c_str(), leaf.c_str()) == 0) return 1;
  }
  return 0;
}

// The last name of `relative` when `other` lies in the same folder, else "".
std::string LeafInSameFolder(const std::string& relative, const std::string& other) {
  size_t slash = relative.rfind('/');
  size_t other_slash = other.rfind('/');
  std::string folder = slash == std::string::npos ? "" : relative.substr(0, slash + 1);
  std::string other_folder = other_slash == std::string::npos ? "" : other.substr(0, other_slash + 1);
  if (folder != other_folder) return "";
  return other.substr(other_folder.size());
}

void CopyExtendedAttributes(int from_fd, int to_fd) {
  ssize_t size = flistxattr(from_fd, nullptr, 0);
  if (size <= 0) return;
  std::vector<char> names(static_cast<size_t>(size));
  size = flistxattr(from_fd, names.data(), names.size());
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(strlen(names.data() + at)) + 1) {
    const char* name = names.data() + at;
    ssize_t length = fgetxattr(from_fd, name, nullptr, 0);
    if (length < 0) continue;
    std::vector<char> value(static_cast<size_t>(length));
    length = fgetxattr(from_fd, name, value.data(), value.size());
    if (length < 0 || fsetxattr(to_fd, name, value.data(), static_cast<size_t>(length), 0) < 0) {
      TLOG_DEBUG("conflict copy: attribute %s not copied: %s", name, strerror(errno));
    }
  }
}

// A regular file with other hard links shares its data with names that stay
// where they are. Renamed, its conflict copy would change with every later
// write through those names, and change notification names only the path
// written: the copy on the disk would drift from the one the server keeps,
// unseen. So such a file is kept as a copy of its own instead, made under
// the conflict name (never over anything there) with its owner, mode,
// attributes and times, and then its old name is removed. 0 when the copy
// is in place, FS_TARGET_EXISTS when the name is taken, 1 when a plain
// rename is to be used (no other link, not a regular file, or the copy
// could not be made), another negative result otherwise.
int KeepOwnCopy(const ViewDir& view, const std::string& relative, const std::string& candidate) {
  UniqueFd parent;
  std::string leaf;
  if (view.OpenParent(relative, &parent, &leaf) < 0) return 1;  // the rename tells why
  std::string copy_leaf = LeafInSameFolder(relative, candidate);
  if (copy_leaf.empty()) return 1;
  UniqueFd source(openat(parent.Get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!source.Valid() || fstat(source.Get(), &st) < 0 || !S_ISREG(st.st_mode) || st.st_nlink < 2) return 1;
  UniqueFd copy(openat(parent.Get(), copy_leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!copy.Valid()) {
    if (errno == EEXIST) return FS_TARGET_EXISTS;
    TLOG_WARNING("conflict copy of hard-linked '%s': open(%s): %s; renaming it instead",
                 view.PathOf(relative).c_str(), view.PathOf(candidate).c_str(), strerror(errno));
    return 1;
  }
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  bool made = CopyFileContents(source.Get(), copy.Get(), view.PathOf(relative), nullptr) == 0 &&
              fchown(copy.Get(), st.st_uid, st.st_gid) == 0 && fchmod(copy.Get(), st.st_mode & 07777) == 0;
  if (made) {
    CopyExtendedAttributes(source.Get(), copy.Get());
    made = futimens(copy.Get(), times) == 0;
  }
  if (!made) {
    TLOG_WARNING("conflict copy of hard-linked '%s' could not be made (%s); renaming it instead",
                 view.PathOf(relative).c_str(), strerror(errno));
    unlinkat(parent.Get(), copy_leaf.c_str(), 0);
    return 1;
  }
  copy.Reset();
  // The old name goes only while it still names the file copied: anything
  // put there since is newer and has its own event.
  struct stat now;
  if (fstatat(parent.Get(), leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
      now.st_ino == st.st_ino && unlinkat(parent.Get(), leaf.c_str(), 0) < 0 && errno != ENOENT) {
    TLOG_ERROR("conflict copy of hard-linked '%s': unlink: %s", view.PathOf(relative).c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// Tries the plain candidate and then the numbered ones, each with a move
// that refuses to replace: a name taken between the look and the move only
// makes the next number be tried, and nothing existing is ever overwritten.
// `relative` below `source` (the view itself, or another folder of its
// file system) goes to the first free candidate below `view`.
int MoveToFreeCandidate(const ViewDir& source, const std::string& relative, const ViewDir& view,
                        const std::string& base, const std::string& suffix, std::string* chosen) {
  int result = -3;
  for (int n = 0; n <= CONFLICT_MAX_NUMBER; ++n) {
    *chosen = ConflictCandidate(base, suffix, n);
    int taken = TakenInAnyCase(view, *chosen);
    if (taken == FS_LINK_REFUSED) return taken;
    if (taken != 0) continue;
    result = &source == &view ? KeepOwnCopy(view, relative, *chosen) : 1;
    if (result == 1) result = source.Rename(relative, view, *chosen, true);
    if (result != FS_TARGET_EXISTS) return result;
  }
  // Every name is taken: leave the object where it is.
  return result == FS_TARGET_EXISTS ? -3 : result;
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

namespace {

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// "Dec-06-1641-2026": a month's three letters, day, hour and minute, year.
bool IsConflictTime(std::string_view text) {
  if (text.size() != 16 || text[3] != '-' || text[6] != '-' || text[11] != '-') return false;
  for (size_t i : {0, 1, 2}) {
    if (!isalpha(static_cast<unsigned char>(text[i]))) return false;
  }
  for (size_t i : {4, 5, 7, 8, 9, 10, 12, 13, 14, 15}) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

bool ParseConflictName(const std::string& name, std::string* original) {
  // <stem>_<label>_<time>_<reason>[_<n>]<extension>, the extension from the
  // last ".", as ConflictCandidate makes it.
  size_t dot = name.rfind('.');
  std::string_view extension = dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot);
  std::string_view rest = std::string_view(name).substr(0, name.size() - extension.size());
  size_t digits = 0;
  while (digits < rest.size() && digits < 3 && isdigit(static_cast<unsigned char>(rest[rest.size() - 1 - digits]))) {
    ++digits;
  }
  if (digits > 0 && digits < rest.size() && rest[rest.size() - 1 - digits] == '_') rest.remove_suffix(digits + 1);
  if (EndsWith(rest, "_WhiteSpaceConflict")) {
    rest.remove_suffix(strlen("_WhiteSpaceConflict"));
  } else if (EndsWith(rest, "_Conflict")) {
    rest.remove_suffix(strlen("_Conflict"));
  } else {
    return false;
  }
  if (rest.size() < 17 || !IsConflictTime(rest.substr(rest.size() - 16)) || rest[rest.size() - 17] != '_') {
    return false;
  }
  rest.remove_suffix(17);
  size_t label = rest.rfind('_');
  if (label == std::string_view::npos || label + 1 == rest.size()) return false;
  rest = rest.substr(0, label);
  *original = std::string(rest) + std::string(extension);
  return !original->empty();
}

int ConflictRename(const ViewDir& view, const std::string& relative, const std::string& label,
                   const std::string& reason, std::string* chosen) {
  if (relative.empty() || relative == "/") return -1;
  return ConflictRenameInto(view, relative, view, relative, label, reason, chosen);
}

int ConflictRenameInto(const ViewDir& source, const std::string& source_relative, const ViewDir& view,
                       const std::string& relative, const std::string& label, const std::string& reason,
                       std::string* chosen) {
  std::string suffix = "_" + label + "_" + ConflictTime(Now()) + "_" + reason;
  std::string candidate;
  int result = MoveToFreeCandidate(source, source_relative, view, relative, suffix, &candidate);
  if (result == 0) {
    TLOG_INFO("ConflictRename from [%s] to [%s], reason = [%s].", source.PathOf(source_relative).c_str(),
              view.PathOf(candidate).c_str(), reason.c_str());
    if (chosen) *chosen = candidate;
  } else if (result != FS_LINK_REFUSED) {
    TLOG_ERROR("ConflictRename failed. From:[%s] To:[%s] err = [%d]", source.PathOf(source_relative).c_str(),
               view.PathOf(candidate).c_str(), result);
  }
  return result;
}

int WhiteSpaceConflictRename(const ViewDir& view, const std::string& relative, const std::string& new_name,
                             const std::string& label) {
  if (relative.empty() || relative == "/") return -1;
  const std::string& path = relative;
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash);
  size_t first = new_name.find_first_not_of(' ');
  size_t last = new_name.find_last_not_of(' ');
  std::string trimmed = first == std::string::npos ? "" : new_name.substr(first, last - first + 1);
  std::string target = directory + "/" + trimmed;

  int taken = trimmed.empty() ? 1 : Exists(view, target);
  if (taken == FS_LINK_REFUSED) return taken;
  if (taken == 0 && view.Rename(path, view, target, true) == 0) {
    TLOG_INFO("WhiteSpaceConflictRename from [%s] to [%s].", view.PathOf(path).c_str(), view.PathOf(target).c_str());
    return 0;
  }
  std::string suffix = "_" + label + "_" + ConflictTime(Now()) + "_WhiteSpaceConflict";
  std::string candidate;
  int result = MoveToFreeCandidate(view, path, view, target, suffix, &candidate);
  if (result == 0) {
    TLOG_INFO("WhiteSpaceConflictRename from [%s] to [%s].", view.PathOf(path).c_str(),
              view.PathOf(candidate).c_str());
  } else if (result != FS_LINK_REFUSED) {
    TLOG_ERROR("WhiteSpaceConflictRename failed. From:[%s] To:[%s] err=[%d]", view.PathOf(path).c_str(),
               view.PathOf(candidate).c_str(), result);
  }
  return result;
}

}  // namespace tide
