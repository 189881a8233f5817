// In-process reference server plus a client that speaks the real exchanges
// over its socket, for the server's tests and benchmark.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "proto/channel.h"
#include "proto/checksum.h"
#include "proto/messages.h"
#include "proto/result_code.h"
#include "ref_server.h"
#include "ref_store.h"

namespace tide::test {

// A server thread over its own store, serving `socket_path`.
class ServerThread {
 public:
  ServerThread(const std::string& dir, uint32_t batch = 1000) {
    m_options.m_socket_path = dir + "/sock";
    m_options.m_batch = batch;
    m_db_path = dir + "/history.sqlite";
    m_store_dir = dir + "/store";
    Start();
  }
  ~ServerThread() { Stop(); }

  void Start() {
    m_store = std::make_unique<RefStore>();
    m_ok = m_store->Open(m_db_path, m_store_dir) == 0;
    m_server = std::make_unique<RefServer>(m_store.get(), m_options);
    m_ok = m_ok && m_server->Listen() == 0;
    if (m_ok) m_thread = std::thread([this] { m_server->Run(); });
  }
  void Stop() {
    if (m_thread.joinable()) {
      m_server->RequestStop();
      m_thread.join();
    }
    m_server.reset();
    m_store.reset();
  }

  bool Ok() const { return m_ok; }
  const std::string& SocketPath() const { return m_options.m_socket_path; }
  const std::string& DbPath() const { return m_db_path; }
  const std::string& StoreDir() const { return m_store_dir; }
  // For what is safe from another thread (the later checks).
  RefStore* Store() { return m_store.get(); }
  RefServer* Server() { return m_server.get(); }

 private:
  RefServerOptions m_options;
  std::string m_db_path;
  std::string m_store_dir;
  std::unique_ptr<RefStore> m_store;
  std::unique_ptr<RefServer> m_server;
  std::thread m_thread;
  bool m_ok = false;
};

inline std::string FileMD4(const std::string& path) {
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  if (RSCalcMD4(path, digest, nullptr) != 0) return "";
  return MD4ToHex(digest);
}

// One client connection; every call runs one exchange and returns the
// channel/message result (0 when the exchange went through).
class RefClient {
 public:
  int Open(const std::string& socket_path) {
    m_channel.SetTimeout(30);
    return m_channel.Open(socket_path);
  }
  void Close() { m_channel.Close(); }
  Channel* GetChannel() { return &m_channel; }

  int Exchange(uint32_t command, Serializable* request, Serializable* response) {
    if (m_channel.WriteU32(command) != 0 || request->Send(&m_channel) != 0) return -1;
    return response ? response->Recv(&m_channel) : 0;
  }

  int Connect(NConnectResponse* response) {
    NConnectRequest request;
    return Exchange(CMD_CONNECT, &request, response);
  }
  int Pull(uint64_t view_id, uint64_t sync_id, NPullEventResponse* response) {
    NPullEventRequest request;
    request.m_view_id = view_id;
    request.m_sync_id = sync_id;
    return Exchange(CMD_PULL_EVENTS, &request, response);
  }
  // Uploads the file at `data_path` (or a folder when data_path is empty).
  int Upload(uint64_t view_id, const std::string& path, uint64_t base, const std::string& data_path,
             NUploadResponse* response, const std::string& mac_path = "") {
    NUploadRequest request;
    request.m_view_id = view_id;
    request.m_path = path;
    request.m_base_sync_id = base;
    request.m_mtime = 1700000000;
    request.m_uid = 1000;
    request.m_gid = 100;
    request.m_worker_num = 3;
    if (data_path.empty()) {
      request.SetDir();
    } else {
      struct stat st {};
      stat(data_path.c_str(), &st);
      request.m_size = static_cast<uint64_t>(st.st_size);
      request.m_hash = FileMD4(data_path);
      request.m_data_path = data_path;
    }
    if (!mac_path.empty()) {
      struct stat st {};
      stat(mac_path.c_str(), &st);
      request.m_mac_size = static_cast<uint64_t>(st.st_size);
      request.m_mac_hash = FileMD4(mac_path);
      request.m_mac_data_path = mac_path;
    }
    return Exchange(CMD_UPLOAD, &request, response);
  }
  int Upload(const NUploadRequest& request, NUploadResponse* response) {
    NUploadRequest copy = request;
    return Exchange(CMD_UPLOAD, &copy, response);
  }
  int Download(uint64_t view_id, const std::string& path, uint64_t base, NDownloadResponse* response,
               int32_t worker_num = -1) {
    NDownloadRequest request;
    request.m_worker_num = worker_num;
    request.m_view_id = view_id;
    request.m_path = path;
    request.m_sync_id = base;
    return Exchange(CMD_DOWNLOAD, &request, response);
  }
  int Remove(uint64_t view_id, const std::string& path, uint64_t base, NRemoveResponse* response) {
    NRemoveRequest request;
    request.m_view_id = view_id;
    request.m_path = path;
    request.m_sync_id = base;
    return Exchange(CMD_REMOVE, &request, response);
  }
  int KeepAlive() {
    NKeepAliveRequest request;
    return Exchange(CMD_KEEP_ALIVE, &request, nullptr);
  }

 private:
  Channel m_channel;
};

}  // namespace tide::test
