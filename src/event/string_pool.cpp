#include "event/string_pool.h"

#include <algorithm>

namespace tide {

const char* StringPool::Find(std::string_view name) const {
  // Names hold no zero byte; one with an embedded zero is cut there, like
  // any C string.
  name = name.substr(0, std::min(name.size(), name.find('\0')));
  auto it = m_names.find(name);
  return it == m_names.end() ? nullptr : *it;
}

const char* StringPool::Intern(std::string_view name) {
  name = name.substr(0, std::min(name.size(), name.find('\0')));
  auto it = m_names.find(name);
  if (it != m_names.end()) return *it;

  size_t need = name.size() + 1;
  Block* target = nullptr;
  for (int i = 0; i < m_block_count; ++i) {
    if (m_blocks[i].m_capacity - m_blocks[i].m_used >= need) {
      target = &m_blocks[i];
      break;
    }
  }
  if (!target) {
    if (m_block_count == MAX_BLOCKS) return nullptr;
    size_t previous = m_block_count > 0 ? m_blocks[m_block_count - 1].m_capacity : 0;
    target = &m_blocks[m_block_count++];
    target->m_capacity = 2 * std::max(need, previous);
    target->m_data = std::make_unique<char[]>(target->m_capacity);
  }
  char* copy = target->m_data.get() + target->m_used;
  memcpy(copy, name.data(), name.size());
  copy[name.size()] = '\0';
  target->m_used += need;
  m_names.insert(copy);
  return copy;
}

size_t StringPool::BytesReserved() const {
  size_t total = 0;
  for (int i = 0; i < m_block_count; ++i) total += m_blocks[i].m_capacity;
  return total;
}

size_t StringPool::BytesUsed() const {
  size_t total = 0;
  for (int i = 0; i < m_block_count; ++i) total += m_blocks[i].m_used;
  return total;
}

}  // namespace tide
