// Request and response records of the exchanges with the server daemon. An
// exchange is WriteU32(command code), the request's Send, the response's
// Recv; both sides know the layout from the command, so there are no tags
// and no total length. Every class sends and receives, so a peer can play
// the server with the same classes.
//
// Send → 0, or -1 on the first channel failure. Recv → 0, or -1 on the first
// channel failure or an over-long string. A response with a non-zero error
// code is complete after that code and still a successful Recv.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tide {

class Channel;

class Serializable {
 public:
  virtual ~Serializable() = default;
  virtual int Send(Channel* channel) = 0;
  virtual int Recv(Channel* channel) = 0;
};

// Command 1.
class NConnectRequest : public Serializable {
 public:
  NConnectRequest() : m_greeting("Hello Varnel!") {}
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  std::string m_greeting;  // str32
};

class NConnectResponse : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  uint32_t m_error_code = 0;
  uint32_t m_conn_num = 0;  // only when m_error_code is 0
};

// Command 5. On the wire the view id goes first.
class NPullEventRequest : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  uint64_t m_sync_id = 0;
  uint64_t m_view_id = 0;
};

// One change of the server's history, carried by NPullEventResponse. Its
// Send does not flush: the enclosing response does.
class NServerEvent : public Serializable {
 public:
  static constexpr uint32_t FLAG_DIR = 0x1;
  static constexpr uint32_t FLAG_DELETED = 0x4;
  static constexpr uint32_t FLAG_MARK = 0x8;

  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  bool IsDir() const { return (m_flags & FLAG_DIR) != 0; }
  bool IsFile() const { return (m_flags & FLAG_DIR) == 0; }
  bool IsDeleted() const { return (m_flags & FLAG_DELETED) != 0; }
  bool IsMarked() const { return (m_flags & FLAG_MARK) != 0; }
  // Neither deleted nor marked.
  bool IsPlainChange() const { return (m_flags & (FLAG_DELETED | FLAG_MARK)) == 0; }

  uint64_t m_view_id = 0;
  std::string m_path;  // str32, relative to the view root
  uint32_t m_flags = 0;
  uint64_t m_sync_id = 0;
  uint64_t m_node_id = 0;
  uint64_t m_reserved = 0;  // carried, not used
  uint64_t m_size = 0;
  std::string m_hash;  // str32
};

class NPullEventResponse : public Serializable {
 public:
  int Send(Channel* channel) override;
  // Appends the received events to m_events.
  int Recv(Channel* channel) override;

  uint32_t m_error_code = 0;
  uint64_t m_sync_id = 0;
  std::vector<NServerEvent> m_events;
};

// Commands 3 (download) and 4 (remove) share this layout.
class NObjectRequest : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  uint64_t m_sync_id = 0;  // sync id of the local record, 0 when there is none
  uint64_t m_view_id = 0;
  std::string m_path;      // str16
  int32_t m_worker_num = -1;  // u32 on the wire
};

class NDownloadRequest : public NObjectRequest {};
class NRemoveRequest : public NObjectRequest {};

class NRemoveResponse : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  uint32_t m_error_code = 0;
};

// Command 2.
class NUploadRequest : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  void SetDir() { m_is_dir = 1; }
  void SetFile() { m_is_dir = 0; }
  bool IsDir() const { return m_is_dir != 0; }
  bool IsFile() const { return m_is_dir == 0; }

  uint64_t m_base_sync_id = 0;
  uint64_t m_view_id = 0;
  std::string m_path;  // str16
  uint32_t m_is_dir = 0;
  uint32_t m_uid = 0;
  uint32_t m_gid = 0;
  uint32_t m_reserved = 0;
  uint32_t m_mtime = 0;
  uint64_t m_size = 0;
  std::string m_hash;       // str16, 32 lowercase hex digits
  std::string m_data_path;  // str16
  uint64_t m_mac_size = 0;
  std::string m_mac_hash;       // str16
  std::string m_mac_data_path;  // str16
  int32_t m_worker_num = -1;    // u32 on the wire
};

class NUploadResponse : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  uint32_t m_error_code = 0;
  uint64_t m_sync_id = 0;
  uint64_t m_node_id = 0;
  uint64_t m_parent_id = 0;
  std::string m_name;  // str32
  uint32_t m_mtime = 0;
};

class NDownloadResponse : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override;

  void SetDir() { m_is_dir = 1; }
  void SetFile() { m_is_dir = 0; }
  bool IsDir() const { return m_is_dir != 0; }
  bool IsFile() const { return m_is_dir == 0; }

  uint32_t m_error_code = 0;
  uint64_t m_sync_id = 0;
  uint64_t m_node_id = 0;
  uint64_t m_parent_id = 0;
  std::string m_name;  // str32
  std::string m_path;  // str16
  uint32_t m_is_dir = 0;
  uint32_t m_uid = 0;
  uint32_t m_gid = 0;
  uint32_t m_reserved = 0;
  uint32_t m_mtime = 0;
  uint64_t m_size = 0;
  std::string m_data_hash;  // str16
  std::string m_data_path;  // str16: the file the server prepared
  uint64_t m_mac_size = 0;
  std::string m_mac_hash;       // str16
  std::string m_mac_data_path;  // str16
};

// Command 6: no fields; Send only flushes, Recv reads nothing.
class NKeepAliveRequest : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override { return 0; }
};

class NKeepAliveResponse : public Serializable {
 public:
  int Send(Channel* channel) override;
  int Recv(Channel* channel) override { return 0; }
};

}  // namespace tide
