// Interning store for the names of a file list: each distinct name is kept
// once, in a few large blocks, and lives as long as the pool.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

namespace tide {

class StringPool {
 public:
  static constexpr int MAX_BLOCKS = 32;

  StringPool() = default;
  StringPool(const StringPool&) = delete;
  StringPool& operator=(const StringPool&) = delete;

  // The stored copy of `name` (stored now if new); nullptr when every block
  // is full. Equal names give the same pointer.
  const char* Intern(std::string_view name);
  // The stored copy when `name` is already in the pool, else nullptr.
  const char* Find(std::string_view name) const;

  size_t NameCount() const { return m_names.size(); }
  int BlockCount() const { return m_block_count; }
  // Bytes reserved by the blocks, and bytes of them in use.
  size_t BytesReserved() const;
  size_t BytesUsed() const;

 private:
  struct Less {
    using is_transparent = void;
    bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
    bool operator()(const char* a, std::string_view b) const { return std::string_view(a) < b; }
    bool operator()(std::string_view a, const char* b) const { return a < std::string_view(b); }
  };
  struct Block {
    size_t m_capacity = 0;
    size_t m_used = 0;
    std::unique_ptr<char[]> m_data;
  };

  std::set<const char*, Less> m_names;
  Block m_blocks[MAX_BLOCKS];
  int m_block_count = 0;
};

}  // namespace tide
