// The reference server's socket side: listens on a Unix socket, serves one
// connection at a time (each until the client closes it), and answers the
// six exchanges from a RefStore.
//
// A malformed request (truncated, unknown command, over-long string) ends
// that connection with an ERROR line; the server goes on with the next one.
// Download copies placed for a client are removed when its next request
// arrives or when its connection ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ref_store.h"

namespace tide {

class Channel;

struct RefServerOptions {
  std::string m_socket_path = "/tmp/sfsock";
  // Most changes one pull answer carries.
  uint32_t m_batch = 1000;
  // Where download copies go when the view's volume is unknown; empty:
  // "<store>/outgoing".
  std::string m_spool_dir;
  // When set, one line per request is appended there, for benchmarks:
  // "<arrival ns> <answered ns> <command> <path>" (real-time clock; arrival
  // is when the command code was read).
  std::string m_trace_path;
};

class RefServer {
 public:
  RefServer(RefStore* store, RefServerOptions options);
  ~RefServer();
  RefServer(const RefServer&) = delete;
  RefServer& operator=(const RefServer&) = delete;

  // Binds and listens (a stale socket file is replaced, a live one is not)
  // → 0 or -1.
  int Listen();
  // Serves connections until RequestStop → 0. Closes and unlinks the socket.
  int Run();
  // Async-signal-safe: only stores into a lock-free atomic.
  void RequestStop() { m_stop.store(1, std::memory_order_relaxed); }

  // Serves one connected socket until the peer closes it or a stop is
  // requested; takes the descriptor over.
  void ServeConnection(int fd);

  // Connections served so far (read by tests after Run returned, or polled).
  uint64_t ConnectionsServed() const { return m_served.load(std::memory_order_relaxed); }

 private:
  // One download copy handed out. Where the volume allows, it is a second
  // name of the stored object rather than a copy (`m_linked`): the client
  // only reads it, and the store makes sure afterwards that nobody changed
  // it or kept it (see RemovePlaced).
  struct Placed {
    std::string m_path;
    std::string m_hash;
    bool m_linked = false;
    int64_t m_mtime_ns = 0;  // of the object when it was handed out
    int64_t m_size = 0;
  };
  struct Session {
    uint32_t m_id = 0;
    // Download copies handed out, by the worker that asked: every worker
    // shares the client's one connection, so a copy may go only when the
    // same worker comes back (it has read the copy by then) or when the
    // connection ends.
    std::map<int32_t, std::vector<Placed>> m_placed;
    std::string m_request_path;         // path of the request in hand, for the trace
  };

  // 1: a request is ready to read; 0: the peer closed or the server stops.
  int WaitForRequest(Channel* channel, Session* session);
  // 0: go on with the connection; -1: close it.
  int Handle(Channel* channel, uint32_t command, Session* session);
  int HandleConnect(Channel* channel, Session* session);
  int HandlePull(Channel* channel, Session* session);
  int HandleUpload(Channel* channel, Session* session);
  int HandleDownload(Channel* channel, Session* session);
  int HandleRemove(Channel* channel, Session* session);
  int Malformed(Session* session, const char* what);
  void RemovePlaced(Session* session, int32_t worker_num);
  // After a linked copy's name went: the stored object must be as it was
  // handed out, and nobody but the store (and the copies still handed
  // out) may keep a name of it.
  void CheckReturnedLink(const Session& session, const Placed& placed);
  void RemoveAllPlaced(Session* session);
  void Trace(uint64_t arrived_ns, uint32_t command, const Session& session);
  // Places a stored object next to the view (a second name where the file
  // system allows, else a copy) → 0 with the path, or -1.
  int PlaceCopy(uint64_t view_id, const std::string& hash, int32_t worker_num, Session* session, std::string* placed);
  std::string PlacementDir(uint64_t view_id);

  RefStore* m_store;
  RefServerOptions m_options;
  int m_listen_fd = -1;
  int m_trace_fd = -1;
  // Set by RequestStop from any thread or a signal handler; also the
  // channels' abort flag, so a stop interrupts a transfer in progress.
  std::atomic<int> m_stop{0};
  std::atomic<uint64_t> m_served{0};
  // Touched by the serving thread only.
  uint32_t m_next_session = 0;
  uint32_t m_next_conn_num = 0;
  uint64_t m_next_placed = 0;
};

}  // namespace tide
