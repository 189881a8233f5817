// The views the daemon currently serves: name, attribute bits, watch path and
// view id of each shared folder and user home, indexed by view id and, for
// shares and users separately, by name (letter case ignored).
//
// One process-wide instance shared by the main thread, the detector, the
// syncers and the workers. m_mutex is held for the whole of every operation
// and never while calling out; look-ups copy the entry out, so callers work
// on a snapshot and never point into the table.
#pragma once

#include <strings.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "core/mutex.h"

namespace tide {

// Attribute bits of an entry.
constexpr uint32_t VIEW_ATTR_SHARE = 0x1;       // a shared folder, else a user home
constexpr uint32_t VIEW_ATTR_CATCHING_UP = 0x2;  // brought up to date by the progress syncer
constexpr uint32_t VIEW_ATTR_PAUSED = 0x4;       // workers hand its events back

struct RegistryEntry {
  std::string m_name;
  uint32_t m_attribute = 0;
  std::string m_watch_path;
  uint64_t m_view_id = 0;
  int32_t m_root_id = -1;
  int32_t m_volume_id = -1;  // the N of the watch path's leading /volumeN

  bool IsShare() const { return (m_attribute & VIEW_ATTR_SHARE) != 0; }
};

// The N of a path that begins with `prefix` ("/volume" on the appliance)
// and a decimal number, else -1.
int32_t VolumeIdOfPath(const std::string& path, const std::string& prefix = "/volume");

class Registry {
 public:
  // The daemon's table, for start-up; the parts that use it are handed it.
  static Registry& Instance();

  // A table of its own whose volumes are "<volume_prefix>N" (tests keep
  // their volumes in a scratch folder).
  explicit Registry(std::string volume_prefix = "/volume") : m_volume_prefix(std::move(volume_prefix)) {}
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // -1 when the watch path is not under /volumeN or the view id is taken.
  // A share (or user) of the same name, letter case ignored, is shadowed:
  // its name look-up now finds the new entry.
  int Add(const std::string& name, uint32_t attribute, const std::string& watch_path, uint64_t view_id,
          int32_t root_id);
  int Remove(uint64_t view_id);  // -1 when not registered
  bool GetByViewId(uint64_t view_id, RegistryEntry* entry);
  bool GetShareByName(const std::string& name, RegistryEntry* entry);
  bool GetUserByName(const std::string& name, RegistryEntry* entry);
  // Lowest view id; false when empty.
  bool GetFirst(RegistryEntry* entry);
  // The entry after `view_id` in view-id order; false at the end or when
  // `view_id` is not registered.
  bool GetNext(uint64_t view_id, RegistryEntry* entry);
  // on: attribute |= bits, else attribute &= ~bits. -1 when not registered.
  int SetAttribute(uint64_t view_id, uint32_t bits, bool on);
  // Moves the named share (user) to a new watch path under /volumeN;
  // anything else is ignored. Always 0.
  int SetSharePath(const std::string& name, const std::string& watch_path);
  int SetUserPath(const std::string& name, const std::string& watch_path);
  size_t Size();
  // Writes every entry, in view-id order, to syslog (or to `sink`, one
  // line per call, for tests).
  void Dump(const std::function<void(const char* line)>& sink = nullptr);
  // Empties the table (tests only).
  void Clear();

 private:
  struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
  };
  using NameIndex = std::map<std::string, RegistryEntry*, CaseLess>;

  // `share` picks the share index, else the user index.
  bool GetByName(bool share, const std::string& name, RegistryEntry* entry);
  int SetPath(bool share, const std::string& name, const std::string& watch_path);

  const std::string m_volume_prefix;
  Mutex m_mutex;
  std::map<uint64_t, std::unique_ptr<RegistryEntry>> m_by_view_id GUARDED_BY(m_mutex);  // owns the entries
  NameIndex m_shares GUARDED_BY(m_mutex);
  NameIndex m_users GUARDED_BY(m_mutex);
};

}  // namespace tide
