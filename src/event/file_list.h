// A compact snapshot of a directory tree (directories with their mtime,
// files with mtime and size) used to compare what the database knows with
// what the disk holds. Names are interned in a StringPool.
//
// Iteration visits the entries of each directory in descending byte order of
// their names, every directory's contents before the directory itself, and
// the root last, so two lists of the same tree yield identical sequences and
// a caller can compare two lists in one pass.
//
// Not thread-safe: a list belongs to the one task that builds and walks it,
// and is not changed while being iterated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "event/string_pool.h"

namespace tide {

enum FileListKind {
  FILE_LIST_FILE = 0,
  FILE_LIST_DIR = 1,
};

struct FileListEntry {
  std::string m_path;  // "/a/b" relative to the list's root; empty for the root
  int m_kind = FILE_LIST_FILE;
  uint32_t m_mtime = 0;
  uint64_t m_size = 0;  // files only

  bool operator==(const FileListEntry&) const = default;
};

class FileList {
 private:
  struct NameLess {
    bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
  };

 public:
  static constexpr size_t MAX_NAME_LEN = 1023;
  static constexpr size_t MAX_PATH_LEN = 4095;

  struct FileData {
    uint32_t m_mtime = 0;
    uint64_t m_size = 0;
  };
  struct Dir {
    const char* m_name = nullptr;  // pooled
    Dir* m_parent = nullptr;
    std::map<const char*, std::unique_ptr<Dir>, NameLess> m_dirs;
    std::map<const char*, FileData, NameLess> m_files;
    uint32_t m_mtime = 0;
  };

  // A forward walk; copies walk on independently. Positions compare equal
  // only at the end.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = FileListEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = const FileListEntry*;
    using reference = const FileListEntry&;

    const FileListEntry& operator*() const { return m_entry; }
    const FileListEntry* operator->() const { return &m_entry; }
    Iterator& operator++();
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return m_stack.empty() && other.m_stack.empty(); }

   private:
    friend class FileList;
    struct Frame {
      const Dir* m_dir;
      std::map<const char*, FileData, NameLess>::const_reverse_iterator m_file;
      std::map<const char*, std::unique_ptr<Dir>, NameLess>::const_reverse_iterator m_child;
      size_t m_path_len;  // length of this directory's path in m_prefix
    };
    void Descend(const Dir* dir);
    void DescendWhileDirNext();
    void Settle();

    std::vector<Frame> m_stack;
    std::string m_prefix;  // path of the directory on top of the stack
    FileListEntry m_entry;
  };

  FileList();
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Creates the missing directories of `path` ("/a/b/c"); the last one gets
  // `mtime`. The number of directories created, or -1 when a component is a
  // file, too long, or cannot be stored.
  int AddDirectory(std::string_view path, uint32_t mtime);
  // Adds a file, creating its missing parents with mtime 0. -1 when the path
  // ends in "/", is too long, crosses a file, or the name already exists.
  int AddFile(std::string_view path, uint32_t mtime, uint64_t size);
  // One name inside directory number `dir` (its index in the directory
  // table; the root is 0). A negative number fails; one beyond the table
  // throws std::out_of_range. AddDirectoryAt gives the created (or existing)
  // directory's number through `number`, and returns how many it created.
  int AddDirectoryAt(int dir, std::string_view name, uint32_t mtime, int* number = nullptr);
  int AddFileAt(int dir, std::string_view name, uint32_t mtime, uint64_t size);

  Iterator begin() const;
  Iterator end() const { return Iterator(); }

  size_t DirectoryCount() const { return m_dirs.size(); }
  size_t FileCount() const { return m_file_count; }
  const StringPool& Pool() const { return m_pool; }
  const Dir& Root() const { return *m_root; }

 private:
  // The child directory `name` of `parent`, created when missing (counted in
  // `created`); nullptr when `name` is a file there or cannot be stored.
  Dir* EnterOrCreate(Dir* parent, std::string_view name, int* created);
  int AddFileIn(Dir* dir, std::string_view name, uint32_t mtime, uint64_t size);

  StringPool m_pool;
  std::unique_ptr<Dir> m_root;
  std::vector<Dir*> m_dirs;  // creation order; index = directory number
  size_t m_file_count = 0;
};

}  // namespace tide
