#define TIDE_LOG_TAG "refadmin"
#define TIDE_LOG_COMPONENT "refsyncd_debug"
#include "core/logger.h"

#include "ref_admin.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "proto/checksum.h"
#include "ref_store.h"

namespace tide {

namespace {

using ull = unsigned long long;

bool ParseU64(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

void PrintNode(FILE* out, const RefNode& n) {
  fprintf(out, "%c %6llu %6llu %10llu %-32s %s\n", n.m_is_dir ? 'd' : 'f', static_cast<ull>(n.m_sync_id),
          static_cast<ull>(n.m_node_id), static_cast<ull>(n.m_size), n.m_is_dir ? "-" : n.m_hash.c_str(),
          n.m_path.c_str());
}

std::string Join(const std::string& dir, const std::string& name) { return dir == "/" ? "/" + name : dir + "/" + name; }

class Admin {
 public:
  Admin(RefStore* store, FILE* out, FILE* err) : m_store(store), m_out(out), m_err(err) {}

  int Fail(const char* format, const std::string& a = "", const std::string& b = "") {
    fprintf(m_err, format, a.c_str(), b.c_str());
    fputc('\n', m_err);
    return 1;
  }

  int PutFile(uint64_t view, const std::string& source, const std::string& path, const std::string& mac) {
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) return Fail("cannot read %s: %s", source, strerror(errno));
    unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
    if (RSCalcMD4(source, digest, nullptr) != 0) return Fail("cannot read %s", source);
    RefUpload up;
    up.m_view_id = view;
    up.m_path = path;
    up.m_force = true;
    up.m_remote = true;
    up.m_uid = st.st_uid;
    up.m_gid = st.st_gid;
    up.m_mtime = static_cast<uint32_t>(st.st_mtime);
    up.m_size = static_cast<uint64_t>(st.st_size);
    up.m_hash = MD4ToHex(digest);
    up.m_data_path = source;
    if (!mac.empty()) {
      struct stat mst {};
      if (stat(mac.c_str(), &mst) != 0 || RSCalcMD4(mac, digest, nullptr) != 0) return Fail("cannot read %s", mac);
      up.m_mac_size = static_cast<uint64_t>(mst.st_size);
      up.m_mac_hash = MD4ToHex(digest);
      up.m_mac_data_path = mac;
    }
    return Record(up);
  }

  int PutDir(uint64_t view, const std::string& source, const std::string& path) {
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) return Fail("cannot read %s: %s", source, strerror(errno));
    RefUpload up;
    up.m_view_id = view;
    up.m_path = path;
    up.m_force = true;
    up.m_remote = true;
    up.m_is_dir = true;
    up.m_uid = st.st_uid;
    up.m_gid = st.st_gid;
    up.m_mtime = static_cast<uint32_t>(st.st_mtime);
    if (path != "/" && Record(up) != 0) return 1;
    // Sorted, so that repeated runs produce the same history.
    std::vector<std::filesystem::directory_entry> entries;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(source, ec)) entries.push_back(entry);
    if (ec) return Fail("cannot list %s: %s", source, ec.message());
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
      std::string name = entry.path().filename().string();
      std::string child = Join(path, name);
      int rc = 0;
      if (entry.is_symlink(ec)) continue;
      if (entry.is_directory(ec)) rc = PutDir(view, entry.path().string(), child);
      else if (entry.is_regular_file(ec)) rc = PutFile(view, entry.path().string(), child, "");
      if (rc != 0) return rc;
    }
    return 0;
  }

  int Record(const RefUpload& up) {
    RefNode node;
    uint32_t code = m_store->Upload(up, &node);
    if (code != REF_OK) return Fail("put %s refused: %s", up.m_path, RefCodeText(code));
    PrintNode(m_out, node);
    return 0;
  }

  RefStore* m_store;
  FILE* m_out;
  FILE* m_err;
};

}  // namespace

const char* RefAdminUsage() {
  return "admin commands (tide-refsyncd --db FILE --store DIR COMMAND ...):\n"
         "  view-add [VIEW_ID] [WATCH_PATH]   record a view (a new id when none is given); prints its id\n"
         "  views                             list views: id and watch path\n"
         "  put VIEW_ID SOURCE PATH [--mac FILE]\n"
         "                                    store a local file, or a folder with everything in it, at PATH\n"
         "  mkdir VIEW_ID PATH                create a folder (and its missing parents)\n"
         "  rm VIEW_ID PATH                   remove a file or a folder with everything below it\n"
         "  ls VIEW_ID [PATH]                 list a folder (default \"/\")\n"
         "  tree VIEW_ID                      print every live node of a view\n"
         "  get VIEW_ID PATH DEST             copy a file's current content to DEST\n"
         "  sync-id                           print the current sync id\n"
         "  events [VIEW_ID [SINCE]]          print the change stream (VIEW_ID 0: every view)\n"
         "node lines read: TYPE(d|f) SYNC_ID NODE_ID SIZE HASH(- for folders) PATH\n";
}

int RunRefAdmin(RefStore* store, const std::vector<std::string>& args, FILE* out, FILE* err) {
  Admin admin(store, out, err);
  auto usage = [&]() {
    fputs(RefAdminUsage(), err);
    return 2;
  };
  if (args.empty()) return usage();
  const std::string& cmd = args[0];
  size_t n = args.size();
  uint64_t view = 0;
  bool view_arg = n > 1 && ParseU64(args[1], &view);

  if (cmd == "sync-id" && n == 1) {
    uint64_t sync_id = 0;
    if (store->CurrentSyncId(&sync_id) != 0) return admin.Fail("cannot read the sync id");
    fprintf(out, "%llu\n", static_cast<ull>(sync_id));
    return 0;
  }
  if (cmd == "view-add" && n <= 3) {
    uint64_t id = 0;
    std::string watch;
    size_t next = 1;
    if (n > 1 && ParseU64(args[1], &id)) next = 2;
    if (next < n) watch = args[next++];
    if (next != n) return usage();
    uint64_t created = 0;
    if (store->AddView(id, watch, &created) != 0) return admin.Fail("view %s refused (id in use by a node?)", std::to_string(id));
    fprintf(out, "%llu\n", static_cast<ull>(created));
    return 0;
  }
  if (cmd == "views" && n == 1) {
    std::vector<RefView> views;
    if (store->ListViews(&views) != 0) return admin.Fail("cannot list views");
    for (const RefView& v : views) fprintf(out, "%llu\t%s\n", static_cast<ull>(v.m_view_id), v.m_watch_path.c_str());
    return 0;
  }
  if (cmd == "put" && (n == 4 || (n == 6 && args[4] == "--mac")) && view_arg) {
    if (!IsValidViewPath(args[3])) return admin.Fail("refused path '%s'", args[3]);
    struct stat st {};
    if (stat(args[2].c_str(), &st) != 0) return admin.Fail("cannot read %s: %s", args[2], strerror(errno));
    if (S_ISDIR(st.st_mode)) {
      if (n == 6) return usage();
      return admin.PutDir(view, args[2], args[3]);
    }
    return admin.PutFile(view, args[2], args[3], n == 6 ? args[5] : "");
  }
  if (cmd == "mkdir" && n == 3 && view_arg) {
    RefUpload up;
    up.m_view_id = view;
    up.m_path = args[2];
    up.m_force = true;
    up.m_remote = true;
    up.m_is_dir = true;
    up.m_mtime = static_cast<uint32_t>(time(nullptr));
    return admin.Record(up);
  }
  if (cmd == "rm" && n == 3 && view_arg) {
    size_t removed = 0;
    uint32_t code = store->Remove(view, args[2], 0, true, &removed, true);
    if (code != REF_OK) return admin.Fail("rm %s refused: %s", args[2], RefCodeText(code));
    fprintf(out, "removed %zu\n", removed);
    return 0;
  }
  if ((cmd == "ls" && (n == 2 || n == 3) && view_arg) || (cmd == "tree" && n == 2 && view_arg)) {
    std::string dir = n == 3 ? args[2] : "/";
    RefNode node;
    if (store->GetNode(view, dir, &node) != 1 || node.m_deleted || !node.m_is_dir)
      return admin.Fail("no folder %s in view %s", dir, args[1]);
    std::vector<RefNode> nodes;
    if (store->ListNodes(view, dir, cmd == "tree", &nodes) != 0) return admin.Fail("cannot list %s", dir);
    for (const RefNode& child : nodes) PrintNode(out, child);
    return 0;
  }
  if (cmd == "get" && n == 4 && view_arg) {
    RefNode node;
    if (store->Download(view, args[2], 0, &node) != REF_OK || node.m_is_dir)
      return admin.Fail("no file %s in view %s", args[2], args[1]);
    std::error_code ec;
    std::filesystem::copy_file(store->ObjectPath(node.m_hash), args[3],
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return admin.Fail("copy to %s: %s", args[3], ec.message());
    return 0;
  }
  if (cmd == "events" && n <= 3) {
    uint64_t since = 0;
    if ((n > 1 && !view_arg) || (n > 2 && !ParseU64(args[2], &since))) return usage();
    std::vector<RefChange> changes;
    if (store->PullChanges(view, since, UINT32_MAX, &changes) != 0) return admin.Fail("cannot read the changes");
    for (const RefChange& c : changes)
      fprintf(out, "%llu view=%llu node=%llu flags=%u size=%llu hash=%s %s\n", static_cast<ull>(c.m_sync_id),
              static_cast<ull>(c.m_view_id), static_cast<ull>(c.m_node_id), c.m_flags, static_cast<ull>(c.m_size),
              c.m_hash.empty() ? "-" : c.m_hash.c_str(), c.m_path.c_str());
    return 0;
  }
  return usage();
}

}  // namespace tide
