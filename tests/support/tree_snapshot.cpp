#include "support/tree_snapshot.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tide::test {

namespace {

void Walk(const std::string& path, const std::string& shown, std::vector<std::string>* lines) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    lines->push_back(shown + " missing");
    return;
  }
  std::ostringstream line;
  line << shown << " " << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid << " "
       << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
  if (S_ISREG(st.st_mode)) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    line << " [" << contents.str() << "]";
  } else if (S_ISLNK(st.st_mode)) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    line << " -> " << std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
  }
  lines->push_back(line.str());
  if (!S_ISDIR(st.st_mode)) return;
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) Walk(path + "/" + name, shown + "/" + name, lines);
}

}  // namespace

std::vector<std::string> SnapshotTree(const std::string& root) {
  std::vector<std::string> lines;
  Walk(root, ".", &lines);
  return lines;
}

}  // namespace tide::test
