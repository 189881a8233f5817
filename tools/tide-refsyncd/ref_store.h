// Version history and content store of the reference server.
//
// The history lives in one SQLite file: one row per node (current state, kept
// with a deleted flag after a removal so that its node id and last sync id
// survive), one row per accepted change (the change stream handed out by
// pull events), the views, and two counters: the global sync id and the next
// id to hand out. Views and nodes share that id space: a view's root node has
// the view id as its node id, and no node id ever equals a view id (ids are
// handed out above 100000 and above every view id recorded so far).
//
// Contents are kept by MD4 in the store directory ("objects/xx/<hash>"), so
// every version stays readable as long as the store exists.
//
// Every node remembers who made its last change: the daemon on this
// appliance (over the socket) or a remote client (the admin command line).
// A removal by the daemon must not take remote work it has not seen, but the
// daemon's own uploads below a folder are not news to it: its folder record
// is usually older than its children's, because it uploads a folder before
// its contents.
//
// Several processes may use the same files at once (the server and the admin
// command line): the database runs in WAL mode with a busy time-out, every
// change is one IMMEDIATE transaction, and objects enter the store by rename.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"

struct sqlite3;

namespace tide {

// Answer codes of the exchanges, as the client reads them.
enum RefCode : uint32_t {
  REF_OK = 0,
  REF_SERVER_ERROR = 1,    // store or content failure (client retries)
  REF_CONFLICT = 2,        // base sync id is not the current one
  REF_NO_ENTRY = 6,        // absent or deleted
  REF_NOT_MODIFIED = 7,    // the client already has the current version
  REF_MODIFIED = 8,        // removal refused: changed after the base
  REF_INVALID_VIEW = 18,   // view id 0, or an id that belongs to a node
  REF_REFUSED_PATH = 19,   // relative path, "." or ".." component, empty component
};

const char* RefCodeText(uint32_t code);

// Flags of a change in the stream.
constexpr uint32_t REF_FLAG_DIR = 0x1;
constexpr uint32_t REF_FLAG_DELETED = 0x4;

struct RefNode {
  uint64_t m_node_id = 0;
  uint64_t m_view_id = 0;
  uint64_t m_parent_id = 0;
  std::string m_path;  // relative to the view root, "/" for the root
  std::string m_name;
  bool m_is_dir = false;
  uint32_t m_uid = 0;
  uint32_t m_gid = 0;
  uint32_t m_mtime = 0;
  uint64_t m_size = 0;
  std::string m_hash;  // MD4, 32 lowercase hex digits; empty for a directory
  uint64_t m_mac_size = 0;
  std::string m_mac_hash;  // empty without Mac data
  bool m_deleted = false;
  uint64_t m_sync_id = 0;  // sync id of the node's last change (0 for a view root)
  bool m_remote = false;   // that change came from a remote client, not the daemon
};

struct RefChange {
  uint64_t m_sync_id = 0;
  uint64_t m_view_id = 0;
  uint64_t m_node_id = 0;
  uint64_t m_parent_id = 0;
  std::string m_path;
  uint32_t m_flags = 0;
  uint64_t m_size = 0;
  std::string m_hash;
};

struct RefView {
  uint64_t m_view_id = 0;
  std::string m_watch_path;  // where the view lives on the appliance, may be empty
};

// One version offered by a client (or by the admin command line).
struct RefUpload {
  uint64_t m_view_id = 0;
  std::string m_path;
  uint64_t m_base_sync_id = 0;
  bool m_force = false;   // skip the base check (admin writes)
  bool m_remote = false;  // written by a remote client (the admin command line)
  // The data files are the client's throw-away copies, made for this upload
  // and removed once it is answered: the store may keep those very files (a
  // hard link) instead of copying them. Never set for files that someone
  // goes on using, since a later write would change stored history.
  bool m_adopt_data = false;
  // The MD4 of the data is checked after the version is recorded instead of
  // before (see RefStore::ImportContent): the answer does not wait for a
  // second full read of the content.
  bool m_check_after_answer = false;
  bool m_is_dir = false;
  uint32_t m_uid = 0;
  uint32_t m_gid = 0;
  uint32_t m_mtime = 0;
  uint64_t m_size = 0;
  std::string m_hash;       // expected MD4 of m_data_path
  std::string m_data_path;  // file to copy into the store (files only)
  uint64_t m_mac_size = 0;
  std::string m_mac_hash;
  std::string m_mac_data_path;  // empty: no Mac data
};

// True for "/" and for "/a/b" style paths without ".", ".." or empty
// components.
bool IsValidViewPath(const std::string& path);

class RefStore {
 public:
  RefStore() = default;
  ~RefStore();
  RefStore(const RefStore&) = delete;
  RefStore& operator=(const RefStore&) = delete;

  // Opens (creating when missing) the database and the store directory.
  int Open(const std::string& db_path, const std::string& store_dir);
  void Close();
  const std::string& StoreDir() const { return m_store_dir; }

  // Records a new version → REF_* code; on REF_OK `out` is the node as it
  // now stands. Missing parent directories are created as changes of their
  // own. A directory offered where a live directory already stands is
  // accepted as it is, whatever the base (two sides creating the same folder
  // do not conflict).
  uint32_t Upload(const RefUpload& upload, RefNode* out);
  // Current version of a live node → REF_OK, REF_NO_ENTRY, REF_NOT_MODIFIED
  // (base_sync_id is the current sync id), REF_REFUSED_PATH.
  uint32_t Download(uint64_t view_id, const std::string& path, uint64_t base_sync_id, RefNode* out);
  // Records the deletion of a node and of every live node below it, each as
  // a change → REF_OK, REF_NO_ENTRY, REF_MODIFIED, REF_REFUSED_PATH.
  // REF_MODIFIED (skipped with force): the node itself changed after
  // base_sync_id, or a live node below it whose last change after the base
  // was a remote client's. `remote` marks the deletions as a remote
  // client's. `removed` (optional) receives the number of nodes deleted.
  uint32_t Remove(uint64_t view_id, const std::string& path, uint64_t base_sync_id, bool force,
                  size_t* removed = nullptr, bool remote = false);
  // Changes with a sync id above `since`, ascending, at most `limit`, of one
  // view or of every view (view_id 0) → 0 or -1.
  int PullChanges(uint64_t view_id, uint64_t since, uint32_t limit, std::vector<RefChange>* out);

  // Records a view (view_id 0: hand out a new id) → 0, or -1 when the id
  // belongs to a node. An existing view keeps its id; a non-empty watch path
  // replaces the recorded one.
  int AddView(uint64_t view_id, const std::string& watch_path, uint64_t* out_id);
  // 1 found, 0 not found, -1 error.
  int GetView(uint64_t view_id, RefView* out);
  int ListViews(std::vector<RefView>* out);
  // Live nodes of a view: the whole tree (recursive) or the children of
  // `dir_path`, ordered by path → 0, -1.
  int ListNodes(uint64_t view_id, const std::string& dir_path, bool recursive, std::vector<RefNode>* out);
  // Node by path, also a deleted one: 1 found, 0 not found, -1 error.
  int GetNode(uint64_t view_id, const std::string& path, RefNode* out);
  int CurrentSyncId(uint64_t* out);

  // Where the content with this MD4 is kept.
  std::string ObjectPath(const std::string& hash) const;
  // Takes `source` into the store and checks it → REF_OK or
  // REF_SERVER_ERROR. With an empty `expected_hash` the hash is only
  // computed; `expected_size` < 0 skips the size check. The content enters
  // without a second copy where the file system allows: with `adopt` as a
  // hard link to `source` itself (see RefUpload::m_adopt_data), else as a
  // shared-extent clone; a plain copy otherwise.
  // With `check_later` (and an expected hash) only the size is checked
  // here: the content is put under the expected hash at once and its MD4 is
  // taken by a checker thread of the store. Content that turns out not to
  // match is taken out of the store again (ERROR in the log), so that it is
  // never handed out as that hash; WaitForChecks tells whoever is about to
  // hand it out.
  uint32_t ImportContent(const std::string& source, const std::string& expected_hash, int64_t expected_size,
                         bool adopt, std::string* out_hash, uint64_t* out_size, bool check_later = false);
  // Waits until every later check of content `hash` has run → 1 when the
  // store holds that content, 0 when it does not (never taken in, or a
  // check found it wrong).
  int WaitForChecks(const std::string& hash);
  // Contents that failed their later check so far.
  uint64_t FailedChecks();
  // Contents smaller than this are checked before the answer even when a
  // later check is asked for: their MD4 costs less than handing them to
  // the checker. Tests set 0.
  void SetLaterCheckMinimum(uint64_t bytes) { m_later_check_minimum.store(bytes); }

  // How the contents taken in so far entered the store (for the log and
  // for tests): hard links, clones, copies.
  struct ImportCounts {
    uint64_t m_linked = 0;
    uint64_t m_cloned = 0;
    uint64_t m_copied = 0;
  };
  const ImportCounts& Imports() const { return m_imports; }

 private:
  class Txn;
  int Exec(const char* sql);
  // One statement without rows, compiled once and kept (transaction control
  // runs on every change).
  int ExecKept(const char* sql);
  int ReadNode(uint64_t view_id, const std::string& path, RefNode* out);
  int WriteNode(const RefNode& node);
  int AppendChange(const RefNode& node);
  int NextCounter(const char* name, uint64_t* out);
  int EnsureView(uint64_t view_id, const std::string& watch_path, bool* created);
  int IdInUse(uint64_t id, bool* in_use);
  int HasRemoteNewerBelow(uint64_t view_id, const std::string& path, uint64_t base, bool* newer);
  int AddOriginColumn();
  // Puts the content of `source` (open as `in`, whose fstat is `st`) at a
  // new temporary path of the store → 0 with the path in *temp, or -1.
  // *linked tells whether that path is `in` itself (taken over by a link)
  // rather than a copy.
  int PlaceContent(int in, const struct stat& st, const std::string& source, bool may_link, std::string* temp,
                   bool* linked);
  int ListBelow(uint64_t view_id, const std::string& path, bool recursive, bool live_only,
                std::vector<RefNode>* out);
  uint32_t UploadLocked(const RefUpload& upload, RefNode* out);
  uint32_t RemoveLocked(uint64_t view_id, const std::string& path, uint64_t base, bool force, bool remote,
                        size_t* removed);

  // One content taken in with check_later: `temp` is the store's own name
  // of it (also linked as the object when nothing stood there).
  struct LaterCheck {
    std::string m_temp;
    std::string m_hash;
    std::string m_source;  // for the log
  };
  void CheckLater(LaterCheck check);
  void RunChecks();
  void RunCheck(const LaterCheck& check);
  void StopChecks();

  // One connection per RefStore; a RefStore belongs to one thread at a time
  // (the server's loop, or the admin command).
  sqlite3* m_db = nullptr;
  std::string m_store_dir;
  ImportCounts m_imports;
  uint64_t m_next_temp = 0;  // names of incoming temporary files

  std::atomic<uint64_t> m_later_check_minimum{4u << 20};
  // The checker thread and its queue; started at the first later check.
  Mutex m_check_mutex;
  std::condition_variable_any m_check_cv;
  std::deque<LaterCheck> m_checks GUARDED_BY(m_check_mutex);
  std::map<std::string, int> m_checks_by_hash GUARDED_BY(m_check_mutex);  // queued or running
  uint64_t m_failed_checks GUARDED_BY(m_check_mutex) = 0;
  bool m_stop_checks GUARDED_BY(m_check_mutex) = false;
  std::thread m_checker;  // started and joined by the store's owner thread
};

}  // namespace tide
