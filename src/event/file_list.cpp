#define TIDE_LOG_TAG "flist"
#define TIDE_LOG_COMPONENT "flist_debug"
#include "core/logger.h"

#include "event/file_list.h"
#include "event/path_components.h"

#include <stdexcept>

namespace tide {

namespace {

bool ValidName(std::string_view name) {
  return !name.empty() && name.size() <= FileList::MAX_NAME_LEN && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

FileList::FileList() : m_root(std::make_unique<Dir>()) {
  m_root->m_name = m_pool.Intern("");
  m_dirs.push_back(m_root.get());
}

FileList::Dir* FileList::EnterOrCreate(Dir* parent, std::string_view name, int* created) {
  if (!ValidName(name)) return nullptr;
  const char* pooled = m_pool.Intern(name);
  if (!pooled) return nullptr;
  if (parent->m_files.count(pooled)) return nullptr;
  auto it = parent->m_dirs.find(pooled);
  if (it != parent->m_dirs.end()) return it->second.get();
  TLOG_DEBUG("adding directory '%s'", pooled);
  auto dir = std::make_unique<Dir>();
  dir->m_name = pooled;
  dir->m_parent = parent;
  Dir* raw = dir.get();
  parent->m_dirs.emplace(pooled, std::move(dir));
  m_dirs.push_back(raw);
  if (created) ++*created;
  return raw;
}

int FileList::AddFileIn(Dir* dir, std::string_view name, uint32_t mtime, uint64_t size) {
  if (!ValidName(name)) return -1;
  const char* pooled = m_pool.Intern(name);
  if (!pooled) return -1;
  TLOG_DEBUG("adding file '%s'", pooled);
  if (dir->m_dirs.count(pooled)) return -1;
  // The first entry of a name stays.
  if (!dir->m_files.emplace(pooled, FileData{mtime, size}).second) return -1;
  ++m_file_count;
  return 0;
}

int FileList::AddDirectory(std::string_view path, uint32_t mtime) {
  int created = 0;
  Dir* dir = m_root.get();
  std::string_view rest = path, component;
  while (NextComponent(&rest, &component)) {
    dir = EnterOrCreate(dir, component, &created);
    if (!dir) return -1;
  }
  dir->m_mtime = mtime;
  return created;
}

int FileList::AddFile(std::string_view path, uint32_t mtime, uint64_t size) {
  if (path.empty() || path.size() > MAX_PATH_LEN || path.back() == '/') return -1;
  size_t slash = path.rfind('/');
  std::string_view parent = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  Dir* dir = m_root.get();
  std::string_view component;
  while (NextComponent(&parent, &component)) {
    TLOG_DEBUG("searching parent '%.*s'", static_cast<int>(component.size()), component.data());
    dir = EnterOrCreate(dir, component, nullptr);
    if (!dir) return -1;
  }
  return AddFileIn(dir, name, mtime, size);
}

int FileList::AddDirectoryAt(int dir, std::string_view name, uint32_t mtime, int* number) {
  if (dir < 0) return -1;
  Dir* parent = m_dirs.at(static_cast<size_t>(dir));
  int created = 0;
  Dir* child = EnterOrCreate(parent, name, &created);
  if (!child) return -1;
  child->m_mtime = mtime;
  if (number) {
    if (created) {
      *number = static_cast<int>(m_dirs.size() - 1);
    } else {
      // An existing directory: its number is its place in the table. Rare
      // (a traversal visits each directory once), so a search is fine.
      for (size_t i = 0; i < m_dirs.size(); ++i) {
        if (m_dirs[i] == child) *number = static_cast<int>(i);
      }
    }
  }
  return created;
}

int FileList::AddFileAt(int dir, std::string_view name, uint32_t mtime, uint64_t size) {
  if (dir < 0) return -1;
  return AddFileIn(m_dirs.at(static_cast<size_t>(dir)), name, mtime, size);
}

FileList::Iterator FileList::begin() const {
  Iterator it;
  it.Descend(m_root.get());
  it.DescendWhileDirNext();
  it.Settle();
  return it;
}

void FileList::Iterator::Descend(const Dir* dir) {
  if (!m_stack.empty()) {
    m_prefix += '/';
    m_prefix += dir->m_name;
  }
  m_stack.push_back(Frame{dir, dir->m_files.crbegin(), dir->m_dirs.crbegin(), m_prefix.size()});
}

void FileList::Iterator::DescendWhileDirNext() {
  for (;;) {
    Frame& top = m_stack.back();
    if (top.m_child == top.m_dir->m_dirs.crend()) return;
    if (top.m_file != top.m_dir->m_files.crend() && strcmp(top.m_child->first, top.m_file->first) < 0) return;
    Descend(top.m_child->second.get());
  }
}

void FileList::Iterator::Settle() {
  if (m_stack.empty()) {
    m_entry = FileListEntry();
    return;
  }
  const Frame& top = m_stack.back();
  if (top.m_file != top.m_dir->m_files.crend()) {
    m_entry.m_path.assign(m_prefix).append("/").append(top.m_file->first);
    m_entry.m_kind = FILE_LIST_FILE;
    m_entry.m_mtime = top.m_file->second.m_mtime;
    m_entry.m_size = top.m_file->second.m_size;
  } else {
    m_entry.m_path = m_prefix;
    m_entry.m_kind = FILE_LIST_DIR;
    // The root is yielded as a bare end marker of the walk.
    m_entry.m_mtime = m_stack.size() == 1 ? 0 : top.m_dir->m_mtime;
    m_entry.m_size = 0;
  }
}

FileList::Iterator& FileList::Iterator::operator++() {
  if (m_stack.empty()) return *this;
  Frame& top = m_stack.back();
  if (top.m_file != top.m_dir->m_files.crend()) {
    ++top.m_file;
  } else {
    m_stack.pop_back();
    if (m_stack.empty()) {
      m_prefix.clear();
      Settle();
      return *this;
    }
    m_prefix.resize(m_stack.back().m_path_len);
    ++m_stack.back().m_child;
  }
  DescendWhileDirNext();
  Settle();
  return *this;
}

}  // namespace tide
