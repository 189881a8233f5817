#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "daemon/control_loop.h"
#include "daemon/task_table.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "core/daemon_state.h"
#include "proto/ipc.h"
#include "core/logger.h"
#include "daemon/explain_answer.h"
#include "daemon/registration.h"
#include "core/registry.h"
#include "core/task.h"
#include "core/user_manager.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "detect/watch_interface.h"
#include "event/event_manager.h"
#include "proto/channel.h"
#include "proto/explain_message.h"
#include "proto/pstream.h"

namespace tide {

namespace {

using ull = unsigned long long;

// How long a connected client may stay silent between messages: the
// channel's own time-out for a message that has begun.
constexpr int CONTROL_IDLE_SECONDS = 60;

std::vector<UserListRecord> ParseUserList(const PObject& user_list) {
  std::vector<UserListRecord> list;
  for (const PObject& element : user_list.AsArray()) {
    UserListRecord record;
    record.m_user_name = element.Find("user_name").AsString();
    record.m_action = element.Find("action").AsString();
    record.m_type = element.Find("type").AsString();
    TLOG_DEBUG("user='%s', action='%s', type='%s'", record.m_user_name.c_str(), record.m_action.c_str(),
               record.m_type.c_str());
    list.push_back(std::move(record));
  }
  return list;
}

// Instructions carry no file contents, but the stream stores any binary
// value it meets in a new temporary file; nobody else would remove those.
void RemoveReceivedFiles(const PObject& value) {
  if (value.IsBinary()) {
    if (!value.AsBinary().m_path.empty()) unlink(value.AsBinary().m_path.c_str());
  } else if (value.IsArray()) {
    for (const PObject& element : value.AsArray()) RemoveReceivedFiles(element);
  } else if (value.IsMap()) {
    for (const auto& [key, element] : value.AsMap()) RemoveReceivedFiles(element);
  }
}

}  // namespace

ControlLoop::ControlLoop(const ClientConfig& config, WatchInterface* watch, TaskTable& tasks,
                         const std::string& status_path)
    : m_config(config), m_watch(watch), m_tasks(tasks), m_status(status_path) {}

void ControlLoop::PublishStatus() { m_status.Update(CollectStatus(m_paused), std::chrono::steady_clock::now()); }

void ControlLoop::PauseAll() {
  m_tasks.PauseAll();
}

void ControlLoop::ResumeAll() {
  m_tasks.ResumeAll();
}

void ControlLoop::Run() {
  IPCListener listener;
  if (listener.Listen(m_config.m_control_socket) < 0) {
    TLOG_ERROR("failed to listen on control socket '%s'", m_config.m_control_socket.c_str());
    listener.Close();
    return;
  }
  // The status file follows a long synchronisation once a second, which a
  // person watching it expects; the wake-up is cheap.
  listener.SetWaitTimeout(1);
  while (IsRunning()) {
    PublishStatus();
    if (!listener.WaitReadable()) continue;
    int fd = listener.Accept();
    if (fd < 0) continue;
    uid_t uid = 0;
    pid_t pid = 0;
    if (!IPCListener::PeerAllowed(fd, &uid, &pid)) {
      TLOG_WARNING("refusing control connection from uid %u (pid %d)", static_cast<unsigned>(uid),
                   static_cast<int>(pid));
      close(fd);
      continue;
    }
    ServeConnection(fd);
  }
  listener.Close();
  m_status.Remove();
}

void ControlLoop::ServeConnection(int fd) {
  Channel channel(Channel::BLOCK_SIZE);
  if (channel.Open(fd, true) < 0) {
    close(fd);
    return;
  }
  while (IsRunning()) {
    TLOG_DEBUG("waiting for instructions");
    // Bytes already buffered belong to a message that has begun.
    if (channel.ReadBuffered() == 0) {
      int next = WaitForNextMessage(channel);
      if (next == 0) TLOG_DEBUG("control client closed the connection");
      if (next <= 0) break;
    }
    PStream stream;
    PObject message;
    int received = stream.Recv(&channel, &message);
    RemoveReceivedFiles(message);
    if (received < 0) break;
    TLOG_DEBUG(">>> %s", message.ToString().c_str());
    PObject reply;
    if (Answer(message, &reply)) {
      if (stream.Send(&channel, reply) < 0) break;
      continue;
    }
    HandleMessage(message);
  }
  // The channel's destruction closes the connection.
}

// A client that has sent everything it meant to hangs up here, between two
// messages: that is the normal end of a conversation, not a failed read, so
// it is told apart before the stream would report it as an error. A close
// in the middle of a message still fails in the stream, as it should.
int ControlLoop::WaitForNextMessage(Channel& channel) {
  int fd = channel.GetFd();
  for (int silent = 0; IsRunning();) {
    struct pollfd readable = {fd, POLLIN, 0};
    int ready = poll(&readable, 1, 1000);
    if (ready < 0 && errno != EINTR) return 1;  // the stream's read reports it
    if (ready <= 0) {
      if (ready == 0 && ++silent >= CONTROL_IDLE_SECONDS) {
        TLOG_WARNING("control client sent nothing for %d seconds; closing the connection", CONTROL_IDLE_SECONDS);
        return -1;
      }
      PublishStatus();
      continue;
    }
    char byte;
    ssize_t peeked = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked > 0) return 1;
    if (peeked == 0 || errno == ECONNRESET) return 0;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 1;
  }
  return -1;
}

bool ControlLoop::Answer(const PObject& message, PObject* reply) {
  if (message.Find("action").AsString() != EXPLAIN_ACTION) return false;
  *reply = AnswerExplain(message, m_paused);
  return true;
}

void ControlLoop::HandleMessage(const PObject& message) {
  if (!message.HasKey("action")) return;
  std::string action = message.Find("action").AsString();
  if (action == "stop") {
    RequestShutdown();
  } else if (action == "dump") {
    Registry::Instance().Dump();
  } else if (action == "pause") {
    PauseAll();
    m_paused = true;
  } else if (action == "resume") {
    ResumeAll();
    m_paused = false;
  } else if (action == "reload") {
    PauseAll();
    RegisterViews(m_watch, m_config);
    ResumeAll();
  } else if (action == "reload_list") {
    PauseAll();
    if (message.HasKey("user_list")) {
      UpdateUserList(ParseUserList(message.Find("user_list")));
    } else {
      TLOG_INFO("no user list");
    }
    ResumeAll();
  }
}

void ControlLoop::UpdateUserList(const std::vector<UserListRecord>& list) {
  if (UserManager::Initialize(UserDbPath(m_config)) < 0) {
    TLOG_ERROR("Failed to initialize user library");
    return;
  }
  for (const UserListRecord& record : list) UpdateOne(record);
  UserManager::Destroy();
}

void ControlLoop::UpdateOne(const UserListRecord& record) {
  const bool share = record.m_type == "share";
  const char* name = record.m_user_name.c_str();
  if (record.m_action == "enable") {
    if (share) {
      if (RegisterShare(m_watch, m_config, record.m_user_name) < 0) TLOG_ERROR("add watch share '%s' failed", name);
    } else if (RegisterUser(m_watch, m_config, record.m_user_name) < 0) {
      TLOG_ERROR("add watch '%s' failed", name);
    }
    return;
  }

  RegistryEntry entry;
  Registry& registry = Registry::Instance();
  bool found = share ? registry.GetShareByName(record.m_user_name, &entry)
                     : registry.GetUserByName(record.m_user_name, &entry);
  if (!found) {
    if (share) {
      TLOG_ERROR("share %s not found", name);
    } else {
      TLOG_ERROR("user %s not found", name);
    }
    return;
  }
  if (record.m_action == "disable") {
    TLOG_DEBUG("disable usre %s", name);
    UnregisterView(m_watch, entry.m_view_id);
  } else if (record.m_action == "hxm_disable") {
    HxmDisable(record, entry.m_view_id);
  } else if (record.m_action == "hxm_enable") {
    HxmEnable(record, entry.m_view_id);
  }
}

void ControlLoop::HxmDisable(const UserListRecord& record, uint64_t view_id) {
  TLOG_DEBUG("user of view_id %llu is hxm disabled", static_cast<ull>(view_id));
  m_watch->RemoveWatch(view_id);
  NativeClientDb& db = NativeClientDb::Instance();
  if (db.AddViewProgress(view_id) < 0) {
    TLOG_ERROR("failed to create progress view of view id %llu", static_cast<ull>(view_id));
    return;
  }
  uint64_t sync_id = 0;
  db.GetViewProgress(view_id, &sync_id);
  ProgressCache::Instance().Add(view_id, sync_id);
  Registry& registry = Registry::Instance();
  registry.SetAttribute(view_id, VIEW_ATTR_CATCHING_UP, true);
  registry.SetAttribute(view_id, VIEW_ATTR_PAUSED, true);
}

void ControlLoop::HxmEnable(const UserListRecord& record, uint64_t view_id) {
  TLOG_DEBUG("user of view_id %llu is hxm enabled", static_cast<ull>(view_id));
  const bool share = record.m_type == "share";
  const char* name = record.m_user_name.c_str();
  UserInfo info;
  int rc = share ? UserManager::GetShareUser(record.m_user_name, &info) : UserManager::EnumUser(record.m_user_name, &info);
  if (rc < 0) {
    if (share) {
      TLOG_ERROR("Get '%s' share user info failed for view_id %llu", name, static_cast<ull>(view_id));
    } else {
      TLOG_ERROR("Get '%s' user info failed for view_id %llu", name, static_cast<ull>(view_id));
    }
  } else if (info.m_view_id != view_id) {
    TLOG_CRIT("view_id not match in db and registry! %llu != %llu", static_cast<ull>(info.m_view_id),
              static_cast<ull>(view_id));
    return;
  } else {
    TLOG_INFO("Add watch user '%s', watch_path '%s'", name, info.m_watch_path.c_str());
    if (m_watch->AddWatch(info.m_watch_path, view_id) < 0) {
      TLOG_ERROR("Failed to add watch for user '%s' (%llu) at '%s'", name, static_cast<ull>(view_id),
                 info.m_watch_path.c_str());
    } else {
      Registry& registry = Registry::Instance();
      if (share) {
        registry.SetSharePath(record.m_user_name, info.m_watch_path);
      } else {
        registry.SetUserPath(record.m_user_name, info.m_watch_path);
      }
      EventManager::GetInstance().PushRescanEvent(view_id, "/", false);
    }
  }
  // The catching-up bit stays: the progress syncer clears it once the view
  // has caught up.
  Registry::Instance().SetAttribute(view_id, VIEW_ATTR_PAUSED, false);
}

}  // namespace tide
