#define TIDE_LOG_TAG "proto-common"
#define TIDE_LOG_COMPONENT "proto_common_debug"
#include "core/logger.h"

#include "proto/messages.h"

#include <algorithm>

#include "proto/channel.h"
#include "proto/var_data.h"

namespace tide {

namespace {

// Every step of a message either succeeds or ends the message with -1.
#define TRY(expr)             \
  do {                        \
    if ((expr) < 0) return -1; \
  } while (0)

// Raw bytes in pieces the channel accepts (a Write is at most one block).
int WriteBytes(Channel* channel, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    uint32_t piece = static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, channel->Capacity()));
    int r = channel->Write(bytes.data() + done, piece);
    if (r < 0) return r;
    done += piece;
  }
  return 0;
}

// str32: a u32 count and the bytes.
int WriteStr32(Channel* channel, const std::string& text) {
  if (text.size() > 0xffffffffu) return -1;
  TRY(channel->WriteU32(static_cast<uint32_t>(text.size())));
  return WriteBytes(channel, text);
}

int ReadStr32(Channel* channel, std::string* text) {
  uint32_t count = 0;
  TRY(channel->ReadU32(&count));
  // Checked before anything is allocated: the count comes from the peer.
  if (count > MAX_WIRE_STRING) {
    TLOG_ERROR("Expect only %d bytes but %u bytes coming in", static_cast<int>(MAX_WIRE_STRING), count);
    return -1;
  }
  char buffer[MAX_WIRE_STRING];
  TRY(channel->Read(buffer, count));
  text->assign(buffer, count);
  return 0;
}

int WriteStr16(Channel* channel, const std::string& text) { return WriteString(channel, text) < 0 ? -1 : 0; }

int ReadStr16(Channel* channel, std::string* text) { return ReadString(channel, text) < 0 ? -1 : 0; }

// The file block an upload request and a download response share, from the
// directory flag to the Mac data's path, in wire order. The two messages name
// the content hash differently, so it is passed on its own.
template <typename Message>
int WriteFileBlock(Channel* channel, const Message& m, const std::string& hash) {
  TRY(channel->WriteU32(m.m_is_dir));
  TRY(channel->WriteU32(m.m_uid));
  TRY(channel->WriteU32(m.m_gid));
  TRY(channel->WriteU32(m.m_reserved));
  TRY(channel->WriteU32(m.m_mtime));
  TRY(channel->WriteU64(m.m_size));
  TRY(WriteStr16(channel, hash));
  TRY(WriteStr16(channel, m.m_data_path));
  TRY(channel->WriteU64(m.m_mac_size));
  TRY(WriteStr16(channel, m.m_mac_hash));
  TRY(WriteStr16(channel, m.m_mac_data_path));
  return 0;
}

template <typename Message>
int ReadFileBlock(Channel* channel, Message* m, std::string* hash) {
  TRY(channel->ReadU32(&m->m_is_dir));
  TRY(channel->ReadU32(&m->m_uid));
  TRY(channel->ReadU32(&m->m_gid));
  TRY(channel->ReadU32(&m->m_reserved));
  TRY(channel->ReadU32(&m->m_mtime));
  TRY(channel->ReadU64(&m->m_size));
  TRY(ReadStr16(channel, hash));
  TRY(ReadStr16(channel, &m->m_data_path));
  TRY(channel->ReadU64(&m->m_mac_size));
  TRY(ReadStr16(channel, &m->m_mac_hash));
  TRY(ReadStr16(channel, &m->m_mac_data_path));
  return 0;
}

}  // namespace

int NConnectRequest::Send(Channel* channel) {
  TRY(WriteStr32(channel, m_greeting));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NConnectRequest::Recv(Channel* channel) {
  TRY(ReadStr32(channel, &m_greeting));
  return 0;
}

int NConnectResponse::Send(Channel* channel) {
  TRY(channel->WriteU32(m_error_code));
  TRY(channel->FlushWrite(0));
  if (m_error_code != 0) return 0;
  TRY(channel->WriteU32(m_conn_num));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NConnectResponse::Recv(Channel* channel) {
  TRY(channel->ReadU32(&m_error_code));
  if (m_error_code != 0) return 0;
  TRY(channel->ReadU32(&m_conn_num));
  return 0;
}

int NPullEventRequest::Send(Channel* channel) {
  TRY(channel->WriteU64(m_view_id));
  TRY(channel->WriteU64(m_sync_id));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NPullEventRequest::Recv(Channel* channel) {
  TRY(channel->ReadU64(&m_view_id));
  TRY(channel->ReadU64(&m_sync_id));
  return 0;
}

int NServerEvent::Send(Channel* channel) {
  TRY(channel->WriteU64(m_view_id));
  TRY(WriteStr32(channel, m_path));
  TRY(channel->WriteU32(m_flags));
  TRY(channel->WriteU64(m_sync_id));
  TRY(channel->WriteU64(m_node_id));
  TRY(channel->WriteU64(m_reserved));
  TRY(channel->WriteU64(m_size));
  TRY(WriteStr32(channel, m_hash));
  return 0;
}

int NServerEvent::Recv(Channel* channel) {
  TRY(channel->ReadU64(&m_view_id));
  TRY(ReadStr32(channel, &m_path));
  TRY(channel->ReadU32(&m_flags));
  TRY(channel->ReadU64(&m_sync_id));
  TRY(channel->ReadU64(&m_node_id));
  TRY(channel->ReadU64(&m_reserved));
  TRY(channel->ReadU64(&m_size));
  TRY(ReadStr32(channel, &m_hash));
  return 0;
}

int NPullEventResponse::Send(Channel* channel) {
  TRY(channel->WriteU32(m_error_code));
  TRY(channel->FlushWrite(0));
  if (m_error_code != 0) return 0;
  TRY(channel->WriteU64(m_sync_id));
  if (m_events.size() > 0xffffffffu) return -1;
  TRY(channel->WriteU32(static_cast<uint32_t>(m_events.size())));
  for (NServerEvent& event : m_events) TRY(event.Send(channel));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NPullEventResponse::Recv(Channel* channel) {
  TRY(channel->ReadU32(&m_error_code));
  if (m_error_code != 0) return 0;
  TRY(channel->ReadU64(&m_sync_id));
  uint32_t count = 0;
  TRY(channel->ReadU32(&count));
  // Nothing is reserved from the count: each event is appended only once its
  // bytes have arrived, so a forged count costs no memory.
  for (uint32_t i = 0; i < count; ++i) {
    NServerEvent event;
    TRY(event.Recv(channel));
    m_events.push_back(std::move(event));
  }
  return 0;
}

int NObjectRequest::Send(Channel* channel) {
  TRY(channel->WriteU64(m_sync_id));
  TRY(channel->WriteU64(m_view_id));
  TRY(WriteStr16(channel, m_path));
  TRY(channel->WriteU32(static_cast<uint32_t>(m_worker_num)));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NObjectRequest::Recv(Channel* channel) {
  TRY(channel->ReadU64(&m_sync_id));
  TRY(channel->ReadU64(&m_view_id));
  TRY(ReadStr16(channel, &m_path));
  uint32_t worker = 0;
  TRY(channel->ReadU32(&worker));
  m_worker_num = static_cast<int32_t>(worker);
  return 0;
}

int NRemoveResponse::Send(Channel* channel) {
  TRY(channel->WriteU32(m_error_code));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NRemoveResponse::Recv(Channel* channel) {
  TRY(channel->ReadU32(&m_error_code));
  return 0;
}

int NUploadRequest::Send(Channel* channel) {
  TRY(channel->WriteU64(m_base_sync_id));
  TRY(channel->WriteU64(m_view_id));
  TRY(WriteStr16(channel, m_path));
  TRY(WriteFileBlock(channel, *this, m_hash));
  TRY(channel->WriteU32(static_cast<uint32_t>(m_worker_num)));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NUploadRequest::Recv(Channel* channel) {
  TRY(channel->ReadU64(&m_base_sync_id));
  TRY(channel->ReadU64(&m_view_id));
  TRY(ReadStr16(channel, &m_path));
  TRY(ReadFileBlock(channel, this, &m_hash));
  uint32_t worker = 0;
  TRY(channel->ReadU32(&worker));
  m_worker_num = static_cast<int32_t>(worker);
  return 0;
}

int NUploadResponse::Send(Channel* channel) {
  TRY(channel->WriteU32(m_error_code));
  if (m_error_code != 0) {
    TRY(channel->FlushWrite(0));
    return 0;
  }
  TRY(channel->WriteU64(m_sync_id));
  TRY(channel->WriteU64(m_node_id));
  TRY(channel->WriteU64(m_parent_id));
  TRY(WriteStr32(channel, m_name));
  TRY(channel->WriteU32(m_mtime));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NUploadResponse::Recv(Channel* channel) {
  TRY(channel->ReadU32(&m_error_code));
  if (m_error_code != 0) return 0;
  TRY(channel->ReadU64(&m_sync_id));
  TRY(channel->ReadU64(&m_node_id));
  TRY(channel->ReadU64(&m_parent_id));
  TRY(ReadStr32(channel, &m_name));
  TRY(channel->ReadU32(&m_mtime));
  return 0;
}

int NDownloadResponse::Send(Channel* channel) {
  TRY(channel->WriteU32(m_error_code));
  TRY(channel->FlushWrite(0));
  if (m_error_code != 0) return 0;
  TRY(channel->WriteU64(m_sync_id));
  TRY(channel->WriteU64(m_node_id));
  TRY(channel->WriteU64(m_parent_id));
  TRY(WriteStr32(channel, m_name));
  TRY(WriteStr16(channel, m_path));
  TRY(WriteFileBlock(channel, *this, m_data_hash));
  TRY(channel->FlushWrite(0));
  return 0;
}

int NDownloadResponse::Recv(Channel* channel) {
  TRY(channel->ReadU32(&m_error_code));
  if (m_error_code != 0) return 0;
  TRY(channel->ReadU64(&m_sync_id));
  TRY(channel->ReadU64(&m_node_id));
  TRY(channel->ReadU64(&m_parent_id));
  TRY(ReadStr32(channel, &m_name));
  TRY(ReadStr16(channel, &m_path));
  TRY(ReadFileBlock(channel, this, &m_data_hash));
  return 0;
}

int NKeepAliveRequest::Send(Channel* channel) { return channel->FlushWrite(0) < 0 ? -1 : 0; }

int NKeepAliveResponse::Send(Channel* channel) { return channel->FlushWrite(0) < 0 ? -1 : 0; }

}  // namespace tide
