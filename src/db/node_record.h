// In-memory form of one node_table row: a file or directory known to be in
// sync with the server.
#pragma once

#include <cstdint>
#include <string>

namespace tide {

// attribute bit of a directory row (a view root is inserted with it).
constexpr uint32_t NODE_ATTRIBUTE_DIR = 2;

struct NodeRecord {
  uint64_t m_node_id = 0;
  uint64_t m_parent_id = 0;  // 0 for a view root
  uint64_t m_view_id = 0;
  uint32_t m_attribute = 0;
  uint64_t m_sync_id = 0;
  uint32_t m_mtime = 0;  // seconds
  uint64_t m_size = 0;
  std::string m_hash;
  uint32_t m_mode = 0;
  std::string m_mac_hash;
  std::string m_path;  // relative to the view root, "/" for the root
  std::string m_name;  // last path component

  bool operator==(const NodeRecord&) const = default;
};

}  // namespace tide
