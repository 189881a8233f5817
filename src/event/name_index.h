// Open-addressing hash index from a name to the node that carries it, for
// the event tree's per-directory file lists. Each slot keeps the name's hash
// beside the pointer, so growing the table and probing past other names
// never touch the nodes themselves: with a million pending events spread
// over many directories, those touches are cache misses that dominate.
//
// NameOf gives a node's name (by default its m_name). Not thread-safe; the
// tree's mutex guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace tide {

template <typename Node>
struct MemberName {
  std::string_view operator()(const Node* node) const { return node->m_name; }
};

template <typename Node, typename NameOf = MemberName<Node>>
class NameIndex {
 public:
  Node* Find(std::string_view name) const {
    if (m_slots.empty()) return nullptr;
    uint64_t hash = Hash(name);
    for (size_t i = hash & m_mask;; i = (i + 1) & m_mask) {
      const Slot& slot = m_slots[i];
      if (!slot.m_node) return nullptr;
      if (slot.m_hash == hash && NameOf()(slot.m_node) == name) return slot.m_node;
    }
  }

  // `node` must not be indexed yet, nor another node of its name.
  void Insert(Node* node) {
    if ((m_size + 1) * 4 > m_slots.size() * 3) Grow();
    Place(Slot{Hash(NameOf()(node)), node});
    ++m_size;
  }

  void Erase(Node* node) {
    if (m_slots.empty()) return;
    size_t i = Hash(NameOf()(node)) & m_mask;
    while (m_slots[i].m_node && m_slots[i].m_node != node) i = (i + 1) & m_mask;
    if (!m_slots[i].m_node) return;
    // Backward-shift deletion keeps every probe chain unbroken without
    // tombstones.
    size_t hole = i;
    for (size_t j = (i + 1) & m_mask; m_slots[j].m_node; j = (j + 1) & m_mask) {
      size_t home = m_slots[j].m_hash & m_mask;
      // Move j into the hole when its home does not lie cyclically in (hole, j].
      bool home_between = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
      if (!home_between) {
        m_slots[hole] = m_slots[j];
        hole = j;
      }
    }
    m_slots[hole] = Slot{};
    --m_size;
  }

  size_t size() const { return m_size; }

 private:
  struct Slot {
    uint64_t m_hash = 0;
    Node* m_node = nullptr;
  };

  static uint64_t Hash(std::string_view name) { return std::hash<std::string_view>()(name); }

  void Place(Slot slot) {
    size_t i = slot.m_hash & m_mask;
    while (m_slots[i].m_node) i = (i + 1) & m_mask;
    m_slots[i] = slot;
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 8 : old.size() * 2, Slot{});
    m_mask = m_slots.size() - 1;
    for (const Slot& slot : old) {
      if (slot.m_node) Place(slot);
    }
  }

  std::vector<Slot> m_slots;
  size_t m_mask = 0;
  size_t m_size = 0;
};

}  // namespace tide
