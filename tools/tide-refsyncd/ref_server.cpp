#define TIDE_LOG_TAG "refsyncd"
#define TIDE_LOG_COMPONENT "refsyncd_debug"
#include "core/logger.h"

#include "ref_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "proto/channel.h"
#include "proto/messages.h"
#include "proto/result_code.h"

namespace tide {

namespace {

using ull = unsigned long long;

// A data path names a file on this machine for the server to read: it must
// be absolute and must not climb with "..".
bool IsAcceptableDataPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

// Real-time clock in nanoseconds, comparable with other processes' stamps.
uint64_t RealTimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

int CopyFileTo(const std::string& from, const std::string& to_template, std::string* created) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    TLOG_ERROR("open %s: %s", from.c_str(), strerror(errno));
    return -1;
  }
  std::string path = to_template;
  int out = mkstemp(path.data());
  if (out < 0) {
    TLOG_ERROR("mkstemp %s: %s", to_template.c_str(), strerror(errno));
    close(in);
    return -1;
  }
  int rc = 0;
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 20, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    // Across file systems on older kernels: plain read and write.
    char buffer[65536];
    ssize_t r;
    while ((r = read(in, buffer, sizeof buffer)) > 0) {
      for (ssize_t done = 0; done < r;) {
        ssize_t w = write(out, buffer + done, static_cast<size_t>(r - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          r = -1;
          break;
        }
        done += w;
      }
      if (r < 0) break;
    }
    if (r < 0) rc = -1;
    break;
  }
  fchmod(out, 0644);
  if (close(out) != 0) rc = -1;
  close(in);
  if (rc != 0) {
    TLOG_ERROR("copy %s -> %s: %s", from.c_str(), path.c_str(), strerror(errno));
    unlink(path.c_str());
    return -1;
  }
  *created = path;
  return 0;
}

}  // namespace

RefServer::RefServer(RefStore* store, RefServerOptions options) : m_store(store), m_options(std::move(options)) {
  if (m_options.m_spool_dir.empty()) m_options.m_spool_dir = store->StoreDir() + "/outgoing";
  if (m_options.m_batch == 0) m_options.m_batch = 1;
  if (!m_options.m_trace_path.empty()) {
    m_trace_fd = open(m_options.m_trace_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_trace_fd < 0) TLOG_WARNING("cannot open trace %s: %s", m_options.m_trace_path.c_str(), strerror(errno));
  }
}

RefServer::~RefServer() {
  if (m_listen_fd >= 0) close(m_listen_fd);
  if (m_trace_fd >= 0) close(m_trace_fd);
}

void RefServer::Trace(uint64_t arrived_ns, uint32_t command, const Session& session) {
  std::string line = std::to_string(arrived_ns) + " " + std::to_string(RealTimeNs()) + " " +
                     std::to_string(command) + " " + session.m_request_path + "\n";
  // One write per line: readers tailing the file never see half a line.
  if (write(m_trace_fd, line.data(), line.size()) < 0) TLOG_DEBUG("trace: %s", strerror(errno));
}

int RefServer::Listen() {
  const std::string& path = m_options.m_socket_path;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    TLOG_ERROR("socket path '%s' is empty or too long", path.c_str());
    return -1;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      TLOG_ERROR("%s exists and is not a socket", path.c_str());
      return -1;
    }
    // A socket file that nobody answers on is left over from a crash.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      TLOG_ERROR("another server is listening on %s", path.c_str());
      return -1;
    }
    unlink(path.c_str());
  }
  m_listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen_fd < 0) {
    TLOG_ERROR("socket: %s", strerror(errno));
    return -1;
  }
  if (bind(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(m_listen_fd, 16) != 0) {
    TLOG_ERROR("bind/listen %s: %s", path.c_str(), strerror(errno));
    close(m_listen_fd);
    m_listen_fd = -1;
    return -1;
  }
  chmod(path.c_str(), 0777);
  TLOG_NOTE("listening on %s (batch %u)", path.c_str(), m_options.m_batch);
  return 0;
}

int RefServer::Run() {
  while (m_stop.load(std::memory_order_relaxed) == 0) {
    pollfd p{m_listen_fd, POLLIN, 0};
    int ready = poll(&p, 1, 1000);
    if (ready <= 0) {
      if (ready < 0 && errno != EINTR) {
        TLOG_ERROR("poll: %s", strerror(errno));
        usleep(100000);
      }
      continue;
    }
    int fd = accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != EAGAIN) TLOG_ERROR("accept: %s", strerror(errno));
      continue;
    }
    ServeConnection(fd);
    m_served.fetch_add(1, std::memory_order_relaxed);
  }
  if (m_listen_fd >= 0) {
    close(m_listen_fd);
    m_listen_fd = -1;
    unlink(m_options.m_socket_path.c_str());
  }
  TLOG_NOTE("stopped");
  return 0;
}

void RefServer::ServeConnection(int fd) {
  // The channel sends without MSG_NOSIGNAL: a client gone mid-answer must
  // cost that connection only, not the server.
  signal(SIGPIPE, SIG_IGN);
  Session session;
  session.m_id = ++m_next_session;
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) cred.pid = -1;
  Channel channel;
  if (channel.Open(fd, true) != 0) {
    TLOG_ERROR("session %u: cannot adopt socket %d", session.m_id, fd);
    close(fd);
    return;
  }
  channel.SetAbortFlag(&m_stop);
  TLOG_INFO("session %u: accepted (peer pid %d)", session.m_id, static_cast<int>(cred.pid));
  while (WaitForRequest(&channel, &session) == 1) {
    uint32_t command = 0;
    if (channel.ReadU32(&command) != 0) {
      Malformed(&session, "command code");
      break;
    }
    uint64_t arrived = m_trace_fd >= 0 ? RealTimeNs() : 0;
    session.m_request_path.clear();
    int handled = Handle(&channel, command, &session);
    if (m_trace_fd >= 0) Trace(arrived, command, session);
    if (handled != 0) break;
  }
  RemoveAllPlaced(&session);
  // Nothing is pending after a complete answer; a short time-out keeps a
  // peer that stopped reading from holding up the next client.
  channel.SetAbortFlag(nullptr);
  channel.SetTimeout(2);
  channel.Close();
  TLOG_INFO("session %u: closed", session.m_id);
}

int RefServer::WaitForRequest(Channel* channel, Session* session) {
  if (channel->ReadBuffered() > 0) return 1;
  int fd = channel->GetFd();
  // Between requests a client may stay silent as long as it likes; the poll
  // keeps an eye on the stop request meanwhile.
  while (m_stop.load(std::memory_order_relaxed) == 0) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    int ready = poll(&p, 1, 1000);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready <= 0) continue;
    // Data and no hang-up is the common case, a request: no need to look.
    if ((p.revents & POLLIN) && !(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return 1;
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return 1;
    if (n == 0) return 0;  // orderly close by the client
    if (errno == EAGAIN || errno == EINTR) continue;
    TLOG_INFO("session %u: %s", session->m_id, strerror(errno));
    return 0;
  }
  TLOG_INFO("session %u: closing for shutdown", session->m_id);
  return 0;
}

int RefServer::Malformed(Session* session, const char* what) {
  if (m_stop.load(std::memory_order_relaxed) != 0) {
    TLOG_INFO("session %u: %s interrupted by shutdown", session->m_id, what);
  } else {
    TLOG_ERROR("session %u: malformed or truncated %s, closing the connection", session->m_id, what);
  }
  return -1;
}

int RefServer::Handle(Channel* channel, uint32_t command, Session* session) {
  switch (command) {
    case CMD_CONNECT: return HandleConnect(channel, session);
    case CMD_UPLOAD: return HandleUpload(channel, session);
    case CMD_DOWNLOAD: return HandleDownload(channel, session);
    case CMD_REMOVE: return HandleRemove(channel, session);
    case CMD_PULL_EVENTS: return HandlePull(channel, session);
    case CMD_KEEP_ALIVE: {
      NKeepAliveRequest request;
      request.Recv(channel);
      TLOG_DEBUG("session %u: keep alive", session->m_id);
      return 0;  // no answer
    }
    default:
      TLOG_ERROR("session %u: unknown command %u, closing the connection", session->m_id, command);
      return -1;
  }
}

int RefServer::HandleConnect(Channel* channel, Session* session) {
  NConnectRequest request;
  if (request.Recv(channel) != 0) return Malformed(session, "connect request");
  NConnectResponse response;
  response.m_conn_num = ++m_next_conn_num;
  TLOG_INFO("session %u: connect ('%s') -> connection #%u", session->m_id, request.m_greeting.c_str(),
            response.m_conn_num);
  return response.Send(channel) == 0 ? 0 : -1;
}

int RefServer::HandlePull(Channel* channel, Session* session) {
  NPullEventRequest request;
  if (request.Recv(channel) != 0) return Malformed(session, "pull request");
  std::vector<RefChange> changes;
  NPullEventResponse response;
  response.m_sync_id = request.m_sync_id;
  if (m_store->PullChanges(request.m_view_id, request.m_sync_id, m_options.m_batch, &changes) != 0) {
    response.m_error_code = REF_SERVER_ERROR;
  } else {
    for (const RefChange& c : changes) {
      NServerEvent e;
      e.m_view_id = c.m_view_id;
      e.m_path = c.m_path;
      e.m_flags = c.m_flags;
      e.m_sync_id = c.m_sync_id;
      e.m_node_id = c.m_node_id;
      e.m_reserved = c.m_parent_id;
      e.m_size = c.m_size;
      e.m_hash = c.m_hash;
      response.m_events.push_back(std::move(e));
    }
    if (!changes.empty()) response.m_sync_id = changes.back().m_sync_id;
  }
  TLOG_INFO("session %u: pull view %llu since %llu -> code %u, %zu events, sync id %llu", session->m_id,
            static_cast<ull>(request.m_view_id), static_cast<ull>(request.m_sync_id), response.m_error_code,
            response.m_events.size(), static_cast<ull>(response.m_sync_id));
  return response.Send(channel) == 0 ? 0 : -1;
}

int RefServer::HandleUpload(Channel* channel, Session* session) {
  NUploadRequest request;
  if (request.Recv(channel) != 0) return Malformed(session, "upload request");
  RemovePlaced(session, request.m_worker_num);
  session->m_request_path = request.m_path;
  NUploadResponse response;
  bool data_ok = (request.IsDir() || IsAcceptableDataPath(request.m_data_path)) &&
                 (request.m_mac_data_path.empty() || IsAcceptableDataPath(request.m_mac_data_path));
  if (!data_ok || !IsValidViewPath(request.m_path)) {
    response.m_error_code = REF_REFUSED_PATH;
  } else {
    RefUpload up;
    up.m_view_id = request.m_view_id;
    up.m_path = request.m_path;
    up.m_base_sync_id = request.m_base_sync_id;
    up.m_is_dir = request.IsDir();
    up.m_uid = request.m_uid;
    up.m_gid = request.m_gid;
    up.m_mtime = request.m_mtime;
    up.m_size = request.m_size;
    up.m_hash = request.m_hash;
    up.m_data_path = request.m_data_path;
    up.m_mac_size = request.m_mac_size;
    up.m_mac_hash = request.m_mac_hash;
    up.m_mac_data_path = request.m_mac_data_path;
    // The daemon hands over a copy made for this upload and removes it
    // after the answer, so the store may keep that file as it is.
    up.m_adopt_data = true;
    // Its MD4 was taken in the same pass as that copy: checking it again
    // here would double the time the daemon waits for a big file. The
    // store checks it after the answer and never hands out content that
    // fails (a failure is an ERROR in the log).
    up.m_check_after_answer = true;
    RefNode node;
    response.m_error_code = m_store->Upload(up, &node);
    if (response.m_error_code == REF_OK) {
      response.m_sync_id = node.m_sync_id;
      response.m_node_id = node.m_node_id;
      response.m_parent_id = node.m_parent_id;
      response.m_name = node.m_name;
      response.m_mtime = node.m_mtime;
    }
  }
  TLOG_INFO("session %u: upload %s view %llu '%s' base %llu (worker %d) -> %u %s, sync id %llu, node %llu",
            session->m_id, request.IsDir() ? "dir" : "file", static_cast<ull>(request.m_view_id),
            request.m_path.c_str(), static_cast<ull>(request.m_base_sync_id), request.m_worker_num,
            response.m_error_code, RefCodeText(response.m_error_code), static_cast<ull>(response.m_sync_id),
            static_cast<ull>(response.m_node_id));
  return response.Send(channel) == 0 ? 0 : -1;
}

int RefServer::HandleDownload(Channel* channel, Session* session) {
  NDownloadRequest request;
  if (request.Recv(channel) != 0) return Malformed(session, "download request");
  RemovePlaced(session, request.m_worker_num);
  session->m_request_path = request.m_path;
  NDownloadResponse response;
  RefNode node;
  response.m_error_code = m_store->Download(request.m_view_id, request.m_path, request.m_sync_id, &node);
  if (response.m_error_code == REF_OK) {
    response.m_sync_id = node.m_sync_id;
    response.m_node_id = node.m_node_id;
    response.m_parent_id = node.m_parent_id;
    response.m_name = node.m_name;
    response.m_path = node.m_path;
    response.m_is_dir = node.m_is_dir ? 1 : 0;
    response.m_uid = node.m_uid;
    response.m_gid = node.m_gid;
    response.m_mtime = node.m_mtime;
    response.m_size = node.m_size;
    response.m_data_hash = node.m_hash;
    response.m_mac_size = node.m_mac_size;
    response.m_mac_hash = node.m_mac_hash;
    if ((!node.m_is_dir &&
         PlaceCopy(node.m_view_id, node.m_hash, request.m_worker_num, session, &response.m_data_path) != 0) ||
        (!node.m_mac_hash.empty() && PlaceCopy(node.m_view_id, node.m_mac_hash, request.m_worker_num, session,
                                               &response.m_mac_data_path) != 0)) {
      RemovePlaced(session, request.m_worker_num);
      response = NDownloadResponse();
      response.m_error_code = REF_SERVER_ERROR;
    }
  }
  TLOG_INFO("session %u: download view %llu '%s' base %llu (worker %d) -> %u %s, sync id %llu, data '%s'",
            session->m_id, static_cast<ull>(request.m_view_id), request.m_path.c_str(),
            static_cast<ull>(request.m_sync_id), request.m_worker_num, response.m_error_code,
            RefCodeText(response.m_error_code), static_cast<ull>(response.m_sync_id), response.m_data_path.c_str());
  return response.Send(channel) == 0 ? 0 : -1;
}

int RefServer::HandleRemove(Channel* channel, Session* session) {
  NRemoveRequest request;
  if (request.Recv(channel) != 0) return Malformed(session, "remove request");
  RemovePlaced(session, request.m_worker_num);
  session->m_request_path = request.m_path;
  NRemoveResponse response;
  size_t removed = 0;
  response.m_error_code = m_store->Remove(request.m_view_id, request.m_path, request.m_sync_id, false, &removed);
  TLOG_INFO("session %u: remove view %llu '%s' base %llu (worker %d) -> %u %s, %zu nodes", session->m_id,
            static_cast<ull>(request.m_view_id), request.m_path.c_str(), static_cast<ull>(request.m_sync_id),
            request.m_worker_num, response.m_error_code, RefCodeText(response.m_error_code), removed);
  return response.Send(channel) == 0 ? 0 : -1;
}

std::string RefServer::PlacementDir(uint64_t view_id) {
  // Next to the view, so that the client's copy stays on one volume.
  RefView view;
  unsigned volume = 0;
  int consumed = 0;
  if (m_store->GetView(view_id, &view) == 1 &&
      sscanf(view.m_watch_path.c_str(), "/volume%u%n", &volume, &consumed) == 1 &&
      (view.m_watch_path[consumed] == '/' || view.m_watch_path[consumed] == '\0')) {
    std::string volume_root = view.m_watch_path.substr(0, consumed);
    std::string dir = volume_root + "/@tmp";
    std::error_code ec;
    if (std::filesystem::is_directory(volume_root, ec)) {
      std::filesystem::create_directories(dir, ec);
      if (!ec) return dir;
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(m_options.m_spool_dir, ec);
  return m_options.m_spool_dir;
}

int RefServer::PlaceCopy(uint64_t view_id, const std::string& hash, int32_t worker_num, Session* session,
                         std::string* placed) {
  if (m_store->WaitForChecks(hash) != 1) {
    TLOG_ERROR("content %s of view %llu is not in the store (lost, or it failed its MD4 check)", hash.c_str(),
               static_cast<ull>(view_id));
    return -1;
  }
  std::string dir = PlacementDir(view_id);
  auto name = [&](const std::string& in) {
    return in + "/refsyncd-" + std::to_string(getpid()) + "-" + std::to_string(++m_next_placed);
  };
  std::string object = m_store->ObjectPath(hash);
  Placed entry;
  entry.m_hash = hash;
  // A second name costs no data at all; a copy of a big file costs its
  // time and, on a disk, its write-back, which the client's own fsync then
  // waits behind.
  struct stat st {};
  for (int attempt = 0; attempt < 2 && !entry.m_linked; ++attempt) {
    entry.m_path = name(dir);
    if (link(object.c_str(), entry.m_path.c_str()) == 0 && lstat(entry.m_path.c_str(), &st) == 0) {
      entry.m_linked = true;
      entry.m_mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
      entry.m_size = static_cast<int64_t>(st.st_size);
    } else if (errno != EEXIST) {
      break;  // another file system, or no room for a name: a copy then
    }
  }
  if (!entry.m_linked) {
    if (CopyFileTo(object, name(dir) + "-XXXXXX", &entry.m_path) != 0) {
      // A full volume is the client's to meet (it freezes the view): hand
      // the copy out from the spool, off the volume, rather than failing
      // the download again and again.
      if (dir == m_options.m_spool_dir) return -1;
      TLOG_WARNING("no room for a download copy in %s, placing it in %s", dir.c_str(),
                   m_options.m_spool_dir.c_str());
      std::error_code ec;
      std::filesystem::create_directories(m_options.m_spool_dir, ec);
      if (CopyFileTo(object, name(m_options.m_spool_dir) + "-XXXXXX", &entry.m_path) != 0) return -1;
    }
  }
  *placed = entry.m_path;
  session->m_placed[worker_num].push_back(std::move(entry));
  return 0;
}

void RefServer::RemovePlaced(Session* session, int32_t worker_num) {
  auto it = session->m_placed.find(worker_num);
  if (it == session->m_placed.end()) return;
  std::vector<Placed> gone = std::move(it->second);
  session->m_placed.erase(it);
  for (const Placed& placed : gone) {
    if (unlink(placed.m_path.c_str()) != 0 && errno != ENOENT) {
      TLOG_WARNING("unlink %s: %s", placed.m_path.c_str(), strerror(errno));
    }
    if (placed.m_linked) CheckReturnedLink(*session, placed);
  }
}

void RefServer::CheckReturnedLink(const Session& session, const Placed& placed) {
  std::string object = m_store->ObjectPath(placed.m_hash);
  struct stat st {};
  if (lstat(object.c_str(), &st) != 0) return;
  int64_t mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  if (mtime_ns != placed.m_mtime_ns || static_cast<int64_t>(st.st_size) != placed.m_size) {
    // The client wrote to what it was given to read: the stored content is
    // no longer what its MD4 says, so it goes (downloads of it fail).
    TLOG_ERROR("the download copy %s was changed by the client: stored content %s taken out of the store",
               placed.m_path.c_str(), placed.m_hash.c_str());
    unlink(object.c_str());
    return;
  }
  nlink_t handed_out = 0;
  for (const auto& [worker, list] : session.m_placed)
    for (const Placed& other : list)
      if (other.m_linked && other.m_hash == placed.m_hash) ++handed_out;
  if (st.st_nlink <= 1 + handed_out) return;
  // Some other name of the object is left (the client kept the copy under
  // another name, or a link of the store's own is still on its way out):
  // the store takes a copy of its own, so that later writes to that name
  // never reach the history.
  TLOG_INFO("stored content %s has %u names after its download copy went: the store takes a copy of its own",
            placed.m_hash.c_str(), static_cast<unsigned>(st.st_nlink));
  std::string fresh;
  if (CopyFileTo(object, m_store->StoreDir() + "/tmp/own-XXXXXX", &fresh) != 0) return;
  // Same time stamp: the copies of it still handed out are checked
  // against it when they come back.
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  utimensat(AT_FDCWD, fresh.c_str(), times, 0);
  if (rename(fresh.c_str(), object.c_str()) != 0) {
    TLOG_ERROR("rename %s -> %s: %s", fresh.c_str(), object.c_str(), strerror(errno));
    unlink(fresh.c_str());
  }
}

void RefServer::RemoveAllPlaced(Session* session) {
  while (!session->m_placed.empty()) RemovePlaced(session, session->m_placed.begin()->first);
}

}  // namespace tide
