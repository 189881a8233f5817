#include "daemon/control_loop.h"
#include "daemon/task_table.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <csignal>
#include <cstring>
#include <deque>
#include <thread>

#include "core/daemon_state.h"
#include "core/registry.h"
#include "proto/ipc.h"
#include "core/task.h"
#include "daemon/views_fixture.h"
#include "proto/pstream.h"

namespace tide {
namespace {

// Records pause and resume into the same journal as the watch calls.
class JournalTask : public Task {
 public:
  JournalTask(std::vector<std::string>* journal, int index) : Task(0, 0), m_journal(journal), m_index(index) {}
  int Pause() override {
    m_journal->push_back("pause " + std::to_string(m_index));
    return Task::Pause();
  }
  int Resume() override {
    m_journal->push_back("resume " + std::to_string(m_index));
    return Task::Resume();
  }

 private:
  std::vector<std::string>* m_journal;
  int m_index;
};

PObject Action(const std::string& action) {
  PObject message;
  message["action"] = action;
  return message;
}

PObject ReloadList(std::initializer_list<UserListRecord> records) {
  PObject message = Action("reload_list");
  PArray list;
  for (const UserListRecord& record : records) {
    PObject element;
    element["user_name"] = record.m_user_name;
    element["action"] = record.m_action;
    element["type"] = record.m_type;
    list.push_back(element);
  }
  message["user_list"] = list;
  return message;
}

class ControlLoopTest : public test::ViewsFixture {
 protected:
  void SetUp() override {
    ViewsFixture::SetUp();
    m_tasks.Add(std::make_unique<JournalTask>(&m_watch.m_calls, 0));
    m_tasks.Add(std::make_unique<JournalTask>(&m_watch.m_calls, 1));
    g_running = 1;
  }
  void TearDown() override {
    g_running = 1;
    ViewsFixture::TearDown();
  }
  ControlLoop Loop() { return ControlLoop(m_config, &m_watch, m_tasks, StatusPath()); }
  std::string StatusPath() { return m_dir / "tide-clientd.status"; }
  void RegisterAll() {
    AddUser("alice", 10);
    AddShare("photos", 20);
    ControlLoop loop = Loop();
    loop.HandleMessage(Action("reload"));
    m_watch.m_calls.clear();
  }

  TaskTable m_tasks;
};

TEST_F(ControlLoopTest, SimpleInstructions) {
  ControlLoop loop = Loop();
  loop.HandleMessage(Action("pause"));
  EXPECT_EQ(TASK_PAUSED, m_tasks.At(1)->GetState());
  loop.HandleMessage(Action("resume"));
  EXPECT_EQ(TASK_RUNNING, m_tasks.At(1)->GetState());
  EXPECT_EQ((std::vector<std::string>{"pause 0", "pause 1", "resume 0", "resume 1"}), m_watch.m_calls);

  // Exact names only; messages without an action are ignored.
  m_watch.m_calls.clear();
  for (const char* action : {"Stop", "STOP", "pause ", "", "frobnicate"}) loop.HandleMessage(Action(action));
  PObject no_action;
  no_action["user_list"] = PArray{};
  loop.HandleMessage(no_action);
  EXPECT_TRUE(IsRunning());
  EXPECT_TRUE(m_watch.m_calls.empty());

  loop.HandleMessage(Action("dump"));  // to syslog; must simply not fail
  loop.HandleMessage(Action("stop"));
  EXPECT_FALSE(IsRunning());
}

TEST_F(ControlLoopTest, ReloadRegistersBetweenPauseAndResume) {
  AddUser("alice", 10);
  Loop().HandleMessage(Action("reload"));
  EXPECT_EQ((std::vector<std::string>{"pause 0", "pause 1", "add 10 /volume1/homes/alice", "resume 0", "resume 1"}),
            m_watch.m_calls);

  m_watch.m_calls.clear();
  Loop().HandleMessage(Action("reload_list"));
  EXPECT_EQ((std::vector<std::string>{"pause 0", "pause 1", "resume 0", "resume 1"}), m_watch.m_calls);
  EXPECT_TRUE(m_log.Contains("no user list"));
}

TEST_F(ControlLoopTest, EnableAndDisable) {
  RegisterAll();
  AddUser("bob", 11);
  AddShare("music", 21);
  ControlLoop loop = Loop();
  loop.HandleMessage(ReloadList({{"bob", "enable", "user"},
                                 {"music", "enable", "share"},
                                 {"alice", "disable", ""},
                                 {"photos", "disable", "share"},
                                 {"ghost", "disable", "share"},
                                 {"ghost", "hxm_disable", "user"},
                                 {"nobody", "enable", "user"}}));
  EXPECT_TRUE(Registered(11));
  EXPECT_TRUE(Registered(21));
  EXPECT_FALSE(Registered(10));
  EXPECT_FALSE(Registered(20));
  EXPECT_FALSE(HasRootRow(10));
  EXPECT_FALSE(HasRootRow(20));
  EXPECT_EQ((std::map<uint64_t, std::string>{{11, "/volume1/homes/bob"}, {21, "/volume1/music"}}), m_watch.m_watched);
  EXPECT_TRUE(m_log.Contains("user='bob', action='enable', type='user'"));
  EXPECT_TRUE(m_log.Contains("disable usre alice"));
  EXPECT_TRUE(m_log.Contains("share ghost not found"));
  EXPECT_TRUE(m_log.Contains("user ghost not found"));
  EXPECT_TRUE(m_log.Contains("add watch 'nobody' failed"));
  EXPECT_FALSE(UserManager::IsOpen());
}

TEST_F(ControlLoopTest, HxmDisableThenEnable) {
  RegisterAll();
  NativeClientDb& db = NativeClientDb::Instance();
  ASSERT_EQ(0, db.SetGlobalSyncId(77));
  ControlLoop loop = Loop();
  loop.HandleMessage(ReloadList({{"alice", "hxm_disable", "user"}}));
  RegistryEntry entry;
  ASSERT_TRUE(Registered(10, &entry));
  EXPECT_EQ(VIEW_ATTR_CATCHING_UP | VIEW_ATTR_PAUSED, entry.m_attribute);
  uint64_t sync_id = 0;
  EXPECT_EQ(1, db.GetViewProgress(10, &sync_id));
  EXPECT_EQ(77u, sync_id);
  EXPECT_EQ(77u, ProgressCache::Instance().GetSyncId(10));
  EXPECT_EQ(0u, m_watch.m_watched.count(10));

  // The user moved meanwhile: enabling watches the new folder.
  ExecUsers("UPDATE user_table SET watch_path = '/volume2/homes/alice' WHERE view_id = 10;");
  int pending = Pending(10);
  loop.HandleMessage(ReloadList({{"alice", "hxm_enable", "user"}}));
  ASSERT_TRUE(Registered(10, &entry));
  EXPECT_EQ(VIEW_ATTR_CATCHING_UP, entry.m_attribute);  // caught up later by the progress syncer
  EXPECT_EQ("/volume2/homes/alice", entry.m_watch_path);
  EXPECT_EQ(2, entry.m_volume_id);
  EXPECT_EQ("/volume2/homes/alice", m_watch.m_watched[10]);
  EXPECT_EQ(pending, Pending(10));  // the new rescan of "/" merged with the first one
  EXPECT_TRUE(m_log.Contains("Add watch user 'alice', watch_path '/volume2/homes/alice'"));
}

TEST_F(ControlLoopTest, HxmEnableWithMismatchOrWatchFailure) {
  RegisterAll();
  ControlLoop loop = Loop();
  loop.HandleMessage(ReloadList({{"photos", "hxm_disable", "share"}}));
  ExecUsers("UPDATE user_table SET view_id = 99 WHERE view_id = 20;");
  loop.HandleMessage(ReloadList({{"photos", "hxm_enable", "share"}}));
  EXPECT_TRUE(m_log.Contains("[CRIT] client("));
  EXPECT_TRUE(m_log.Contains("view_id not match in db and registry! 99 != 20"));
  RegistryEntry entry;
  ASSERT_TRUE(Registered(20, &entry));
  EXPECT_TRUE(entry.m_attribute & VIEW_ATTR_PAUSED);  // left paused

  ExecUsers("UPDATE user_table SET view_id = 20 WHERE view_id = 99;");
  m_watch.m_fail_path = "/volume1/photos";
  loop.HandleMessage(ReloadList({{"photos", "hxm_enable", "share"}}));
  EXPECT_TRUE(m_log.Contains("Failed to add watch for user 'photos' (20) at '/volume1/photos'"));
  ASSERT_TRUE(Registered(20, &entry));
  EXPECT_FALSE(entry.m_attribute & VIEW_ATTR_PAUSED);  // cleared whatever the watch did
}

TEST_F(ControlLoopTest, UnopenableUserDatabaseSkipsTheList) {
  RegisterAll();
  m_config.m_volume_path = m_dir / "nowhere";
  Loop().HandleMessage(ReloadList({{"alice", "disable", "user"}}));
  EXPECT_TRUE(Registered(10));
  EXPECT_TRUE(m_log.Contains("Failed to initialize user library"));
  EXPECT_EQ("resume 1", m_watch.m_calls.back());
}

// The loop itself over a real socket.
class ControlSocketTest : public ControlLoopTest {
 protected:
  void SetUp() override {
    ControlLoopTest::SetUp();
    m_config.m_control_socket = m_dir / "control";
  }
  void StartLoop() {
    m_thread = std::thread([this] { Loop().Run(); });
    // The socket file appears at bind(), before its mode is set and before
    // listen(): wait until the kernel lists it as listening.
    for (int i = 0; i < 1000 && !Listening(m_config.m_control_socket); ++i) usleep(10 * 1000);
  }
  // True when /proc/net/unix lists a listening socket bound to `path`.
  static bool Listening(const std::string& path) {
    std::ifstream table("/proc/net/unix");
    std::string line;
    constexpr unsigned long ACCEPTING = 0x10000;  // the socket has called listen()
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, refs, protocol, flags, type, state, inode, bound;
      if (!(fields >> slot >> refs >> protocol >> flags >> type >> state >> inode >> bound)) continue;
      if (bound == path && (std::stoul(flags, nullptr, 16) & ACCEPTING) != 0) return true;
    }
    return false;
  }
  void StopLoop() {
    g_running = 0;
    if (m_thread.joinable()) m_thread.join();
  }
  void TearDown() override {
    StopLoop();
    ControlLoopTest::TearDown();
  }
  std::thread m_thread;
};

TEST_F(ControlSocketTest, ManyInstructionsPerConnectionThenStop) {
  StartLoop();
  struct stat st;
  ASSERT_EQ(0, stat(m_config.m_control_socket.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  IPCSender sender;
  ASSERT_EQ(0, sender.Connect(m_config.m_control_socket));
  EXPECT_EQ(0, sender.Send(Action("pause")));
  EXPECT_EQ(0, sender.Send(Action("resume")));
  EXPECT_EQ(0, sender.Send(Action("stop")));
  m_thread.join();
  EXPECT_FALSE(IsRunning());
  EXPECT_EQ((std::vector<std::string>{"pause 0", "pause 1", "resume 0", "resume 1"}), m_watch.m_calls);
  EXPECT_NE(0, access(m_config.m_control_socket.c_str(), F_OK));
  EXPECT_TRUE(m_log.Contains(">>> {\"action\": \"pause\"}"));
}

TEST_F(ControlSocketTest, MalformedMessageEndsOnlyItsConnection) {
  StartLoop();
  IPCSender bad;
  ASSERT_EQ(0, bad.Connect(m_config.m_control_socket));
  const uint8_t garbage[] = {0x42, 0x01, 0x01, 0x05};  // a map key that is not a string
  ASSERT_EQ(0, bad.GetChannel().Write(garbage, sizeof(garbage)));
  ASSERT_EQ(0, bad.GetChannel().FlushWrite(0));
  IPCSender good;
  ASSERT_EQ(0, good.Connect(m_config.m_control_socket));
  EXPECT_EQ(0, good.Send(Action("stop")));
  m_thread.join();
  EXPECT_TRUE(m_watch.m_calls.empty());
}

TEST_F(ControlSocketTest, FileContentsSentAlongLeaveNoFiles) {
  StartLoop();
  std::string source = m_dir.WriteFile("payload", "0123456789");
  PObject message = Action("pause");
  PBinary binary;
  binary.m_path = source;
  binary.m_length = 10;
  message["blob"] = binary;
  IPCSender sender;
  ASSERT_EQ(0, sender.Connect(m_config.m_control_socket));
  ASSERT_EQ(0, sender.Send(message));
  ASSERT_EQ(0, sender.Send(Action("stop")));
  m_thread.join();
  EXPECT_EQ("pause 0", m_watch.m_calls.front());
  // The stored copy was named in the message trace; it must be gone.
  std::string text = m_log.Text();
  size_t at = text.find("path: \"");
  ASSERT_NE(std::string::npos, at) << text;
  std::string stored = text.substr(at + 7, text.find('"', at + 7) - at - 7);
  EXPECT_NE(0, access(stored.c_str(), F_OK)) << stored;
}

TEST_F(ControlSocketTest, OtherUsersAreTurnedAway) {
  StartLoop();
  // Even with the file and its folder opened up, the peer's credentials
  // decide.
  ASSERT_EQ(0, chmod(m_dir.Path().c_str(), 0755));
  ASSERT_EQ(0, chmod(m_config.m_control_socket.c_str(), 0777));
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, m_config.m_control_socket.c_str(), m_config.m_control_socket.size());
  // {"action": "stop"}, encoded beforehand: the child only makes system calls.
  static const char STOP[] = "\x42\x10\x00\x06" "action" "\x10\x00\x04" "stop" "\x40";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) _exit(3);
    // The daemon may already have hung up on us.
    signal(SIGPIPE, SIG_IGN);
    (void)!write(fd, STOP, sizeof(STOP) - 1);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (int i = 0; i < 500 && !m_log.Contains("refusing control connection from uid 65534"); ++i) usleep(10 * 1000);
  EXPECT_TRUE(m_log.Contains("refusing control connection from uid 65534 (pid " + std::to_string(child) + ")"));
  EXPECT_TRUE(IsRunning());
}

// A client that hangs up after its messages (or before any) ends the
// conversation quietly; a message cut short or garbage is still an error.
TEST_F(ControlSocketTest, HangingUpIsQuietButBrokenMessagesAreNot) {
  // {"action": "pause"}, encoded.
  static const char PAUSE_BYTES[] = "\x42\x10\x00\x06" "action" "\x10\x00\x05" "pause" "\x40";
  const std::string PAUSE(PAUSE_BYTES, sizeof(PAUSE_BYTES) - 1);
  struct Case {
    const char* m_name;
    std::string m_sent;
    bool m_error;
  } cases[] = {
      {"after two messages", PAUSE + PAUSE, false},
      {"without a message", "", false},
      {"in the middle of a message", PAUSE.substr(0, 9), true},
      {"after garbage", std::string("\x42\x01\x01\x05", 4), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    g_running = 1;
    size_t from = m_log.Text().size();
    StartLoop();
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, m_config.m_control_socket.c_str(), m_config.m_control_socket.size());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(static_cast<ssize_t>(c.m_sent.size()), write(fd, c.m_sent.data(), c.m_sent.size()));
    close(fd);
    // Served one at a time: the stop is read once the case's connection ended.
    IPCSender stopper;
    ASSERT_EQ(0, stopper.Connect(m_config.m_control_socket));
    ASSERT_EQ(0, stopper.Send(Action("stop")));
    m_thread.join();
    std::string log = m_log.Text().substr(from);
    EXPECT_EQ(c.m_error, log.find("[ERROR]") != std::string::npos) << log;
    EXPECT_EQ(!c.m_error, log.find("control client closed the connection") != std::string::npos) << log;
  }
}

// The status file follows the registry and the pause instruction, and goes
// away with the loop.
TEST_F(ControlSocketTest, StatusFileFollowsTheDaemonAndGoesAwayAtTheEnd) {
  RegisterAll();
  ASSERT_EQ(0, Registry::Instance().SetAttribute(20, VIEW_ATTR_PAUSED, true));
  auto published = [this](bool paused) {
    // Written at most once a second: wait generously for the change.
    for (int i = 0; i < 1000; ++i) {
      DaemonStatus status;
      if (ParseStatus(test::TempDir::ReadFile(StatusPath()), &status) == 0 && status.m_paused == paused) return status;
      usleep(10 * 1000);
    }
    return DaemonStatus();
  };
  StartLoop();
  DaemonStatus status = published(false);
  EXPECT_EQ(getpid(), status.m_pid);
  ASSERT_EQ(2u, status.m_views.size());
  EXPECT_EQ(10u, status.m_views[0].m_view_id);
  EXPECT_EQ(VIEW_ATTR_SHARE | VIEW_ATTR_PAUSED, status.m_views[1].m_attribute);

  IPCSender sender;
  ASSERT_EQ(0, sender.Connect(m_config.m_control_socket));
  ASSERT_EQ(0, sender.Send(Action("pause")));
  // Published while the client is still connected and silent.
  EXPECT_TRUE(published(true).m_paused);
  ASSERT_EQ(0, sender.Send(Action("stop")));
  m_thread.join();
  EXPECT_NE(0, access(StatusPath().c_str(), F_OK));
}

TEST(IPCListenerTest, ListenRules) {
  test::TempDir dir;
  IPCListener listener;
  EXPECT_EQ(-1, listener.Listen(""));
  std::string too_long = dir.Path() + "/" + std::string(120, 'x');
  EXPECT_EQ(-1, listener.Listen(too_long));
  EXPECT_EQ(-1, listener.Listen(dir / "missing/control"));
  // A stale file at the path is replaced.
  std::string path = dir.WriteFile("control", "stale");
  ASSERT_EQ(0, listener.Listen(path));
  EXPECT_EQ(-1, listener.Listen(path));
  listener.Close();
  EXPECT_NE(0, access(path.c_str(), F_OK));
  EXPECT_EQ(-1, listener.Accept());
  EXPECT_FALSE(listener.WaitReadable());
}

TEST(IPCSenderTest, RequestWithReply) {
  test::TempDir dir;
  IPCListener listener;
  ASSERT_EQ(0, listener.Listen(dir / "peer"));
  std::thread peer([&] {
    int fd = listener.Accept();
    Channel channel;
    ASSERT_EQ(0, channel.Open(fd, true));
    PStream stream;
    PObject request;
    ASSERT_EQ(0, stream.Recv(&channel, &request));
    PObject reply;
    reply["echo"] = request.Find("user_name");
    ASSERT_EQ(0, PStream().Send(&channel, reply));
  });
  IPCSender sender;
  EXPECT_EQ(-1, IPCSender().Connect(dir / "nobody-here"));
  ASSERT_EQ(0, sender.Connect(dir / "peer"));
  PObject request;
  request["action"] = 2u;
  request["user_name"] = "alice";
  PObject reply;
  ASSERT_EQ(0, sender.Request(request, true, &reply));
  EXPECT_EQ("alice", reply.Find("echo").AsString());
  peer.join();
}

}  // namespace
}  // namespace tide
