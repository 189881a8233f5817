// Control socket input: any bytes a local client may send, received as
// instruction messages and carried out against a scratch volume (user
// database with one user and one shared folder, local database, registry,
// event manager), with a detector stand-in that watches nothing.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/client_config.h"
#include "core/daemon_state.h"
#include "daemon/control_loop.h"
#include "daemon/task_table.h"
#include "core/logger.h"
#include "core/registry.h"
#include "core/user_manager.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "detect/watch_interface.h"
#include "event/event_manager.h"
#include "fuzz_input.h"
#include "platform/vendor_system.h"
#include "proto/channel.h"
#include "proto/pstream.h"

namespace {

class NullWatch : public tide::WatchInterface {
 public:
  int AddWatch(const std::string&, uint64_t view_id) override { return static_cast<int>(view_id & 0xffff); }
  int RemoveWatch(uint64_t) override { return 0; }
  void SetViewWithdrawnCallback(ViewWithdrawnCallback) override {}
};

void WriteFile(const std::string& path, const std::string& text) {
  FILE* fp = fopen(path.c_str(), "w");
  if (fp == nullptr) abort();
  fputs(text.c_str(), fp);
  fclose(fp);
}

std::string g_dir;

void Setup() {
  char dir_template[] = "/tmp/tide-fuzz-control-XXXXXX";
  std::string dir = mkdtemp(dir_template);
  g_dir = dir;
  WriteFile(dir + "/levels",
            "client_debug=0\nuser_mgr_debug=0\nipc=0\nevent_mgr_debug=0\nevent_list_debug=0\nncdb_debug=0\n"
            "channel_debug=0\nstream=0\n");
  tide::Logger::Initialize(tide::LOG_TYPE_STDERR, "", dir + "/levels", 10);
  mkdir((dir + "/@tidewell").c_str(), 0755);
  mkdir((dir + "/@tidewell/@sync").c_str(), 0755);
  WriteFile(dir + "/shares.conf", "homes=" + dir + "/homes\n");
  tide::SetShareListPathForTest(dir + "/shares.conf");
  tide::UserManager::SetLockFilePathForTest(dir + "/user-mgr-lock-file");
  tide::ClientConfig::Instance().m_volume_path = dir;
  std::string user_db = dir + "/@tidewell/@sync/user-db.sqlite";
  if (tide::UserManager::Initialize(user_db) != 0) abort();
  tide::UserManager::Destroy();
  sqlite3* db = nullptr;
  sqlite3_open(user_db.c_str(), &db);
  sqlite3_exec(db,
               "INSERT INTO user_table (attribute, view_id, name, uid, gid, user_type, watch_path) VALUES "
               "(0, 10, 'alice', 1000, 100, 0, '/volume1/homes/alice'),"
               "(0, 20, '@photos', 0, 0, 1, '/volume1/photos');",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (tide::NativeClientDb::Instance().Initialize(dir + "/db.sqlite") != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  static NullWatch watch;
  // No tasks: pause and resume reach nothing, the instructions' effects on
  // the registry, databases and event manager are what is exercised.
  static tide::TaskTable tasks;
  static tide::Channel channel;
  if (!tide::fuzz::Feed(&channel, data, size)) return 0;
  tide::ControlLoop loop(tide::ClientConfig::Instance(), &watch, tasks, g_dir + "/status");
  // A connection carries any number of messages; the daemon stops reading
  // at the first that does not decode.
  for (int i = 0; i < 8; ++i) {
    tide::PStream stream;
    tide::PObject message;
    if (stream.Recv(&channel, &message) < 0) break;
    tide::PObject reply;
    if (!loop.Answer(message, &reply)) loop.HandleMessage(message);
  }
  channel.Close();
  tide::g_running = 1;
  tide::Registry::Instance().Clear();
  tide::EventManager::GetInstance().Reset();
  tide::ProgressCache::Instance().Clear();
  return 0;
}
