// The main thread's control loop: serves the control socket until the
// running flag is cleared, one connection at a time and any number of
// instructions per connection, and carries out each instruction (stop,
// dump, pause, resume, reload, reload_list). Those are never answered on
// the socket; their effects show in the daemon's behaviour and log. The
// one question, "explain" (proto/explain_message.h), is answered on the
// same connection.
#pragma once

#include <string>
#include <vector>

#include "core/client_config.h"
#include "daemon/status_file.h"
#include "proto/pobject.h"

namespace tide {

class Channel;
class TaskTable;
class WatchInterface;

// One element of a "reload_list" instruction's "user_list".
struct UserListRecord {
  std::string m_user_name;
  std::string m_action;  // "enable", "disable", "hxm_disable", "hxm_enable"
  std::string m_type;    // "share" for a shared folder, else a user home
};

class ControlLoop {
 public:
  // `tasks` is the daemon's task table; `watch` the detector (task 0);
  // `status_path` where the loop publishes the daemon's status.
  ControlLoop(const ClientConfig& config, WatchInterface* watch, TaskTable& tasks,
              const std::string& status_path = STATUS_FILE_PATH);

  // Listens on the configured control socket and serves it until the
  // running flag is cleared; returns at once when the socket cannot be set
  // up. The socket file and the status file are removed on the way out.
  // Between clients, and every second while a client is silent, the status
  // file is brought up to date.
  void Run();
  // True when `message` is a question; *reply is then its answer.
  bool Answer(const PObject& message, PObject* reply);
  // Carries out one instruction message (ignored without an "action").
  void HandleMessage(const PObject& message);
  // The per-user and per-share changes of "reload_list", in list order.
  void UpdateUserList(const std::vector<UserListRecord>& list);

 private:
  void ServeConnection(int fd);
  // 1 when the next message has begun to arrive, 0 when the client hung up
  // between messages, -1 when it stayed silent too long or the daemon is
  // stopping.
  int WaitForNextMessage(Channel& channel);
  void PublishStatus();
  void PauseAll();
  void ResumeAll();
  void UpdateOne(const UserListRecord& record);
  void HxmDisable(const UserListRecord& record, uint64_t view_id);
  void HxmEnable(const UserListRecord& record, uint64_t view_id);

  // All of these belong to the main thread, which runs the loop.
  const ClientConfig& m_config;
  WatchInterface* m_watch;
  TaskTable& m_tasks;
  StatusFileWriter m_status;
  bool m_paused = false;  // every task paused by a "pause" instruction
};

}  // namespace tide
