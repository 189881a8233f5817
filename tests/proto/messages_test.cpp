#include "proto/messages.h"

#include <gtest/gtest.h>

#include <functional>

#include "proto/result_code.h"
#include "proto/var_data.h"
#include "wire_peer.h"

namespace tide {
namespace {

using test::Bytes;
using test::Hex;
using test::Str16;
using test::Str32;
using test::U32;
using test::U64;
using test::WirePeer;

TEST(proto_ResultTextTest, Table) {
  EXPECT_STREQ("Successful", ResultText(0));
  EXPECT_STREQ("Connection timeout", ResultText(-9));
  EXPECT_STREQ("Protocal error", ResultText(-5));
  EXPECT_STREQ("no permission ", ResultText(-19));
  EXPECT_STREQ("Local Disk is full", ResultText(-22));
  EXPECT_STREQ("Unknown error", ResultText(-23));
  EXPECT_STREQ("Unknown error", ResultText(-2147483647 - 1));
}

TEST(proto_VarDataTest, WriteStringSendsLengthAndBytes) {
  WirePeer peer;
  ASSERT_EQ(0, WriteString(&peer.channel(), "abc"));
  ASSERT_EQ(0, WriteString(&peer.channel(), ""));
  ASSERT_EQ(0, peer.channel().FlushWrite(0));
  EXPECT_EQ("00 03 61 62 63 00 00", Hex(peer.Receive(7)));
}

TEST(proto_VarDataTest, WriteRefusesWhatTheCountCannotHold) {
  WirePeer peer;
  std::string big(65536, 'a');
  EXPECT_EQ(RESULT_PROTOCOL_ERROR, WriteString(&peer.channel(), big));
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, WriteVarData(&peer.channel(), nullptr, 3));
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, WriteVarData(&peer.channel(), "abc", -1));
  EXPECT_EQ(0u, peer.channel().WritePending());
  std::string max(65535, 'b');
  ASSERT_EQ(0, WriteString(&peer.channel(), max));
  ASSERT_EQ(0, peer.channel().FlushWrite(0));
  EXPECT_EQ(Str16(max), peer.Receive(65537));
}

TEST(proto_VarDataTest, ReadStringStopsTheTextAtAZeroButConsumesAll) {
  WirePeer peer;
  peer.SendRaw(Bytes("00 03 61 00 62 7e"));
  std::string text = "old";
  EXPECT_EQ(3, ReadString(&peer.channel(), &text));
  EXPECT_EQ("a", text);
  uint8_t next = 0;
  ASSERT_EQ(0, peer.channel().ReadU8(&next));
  EXPECT_EQ(0x7e, next);
}

TEST(proto_VarDataTest, OverlongCountFailsBeforeTheData) {
  WirePeer peer;
  peer.SendRaw(Bytes("20 01 7e"));  // 8193
  std::string text;
  EXPECT_EQ(RESULT_PROTOCOL_ERROR, ReadString(&peer.channel(), &text));
  uint8_t next = 0;
  ASSERT_EQ(0, peer.channel().ReadU8(&next));
  EXPECT_EQ(0x7e, next);

  char buf[4];
  peer.SendRaw(Bytes("00 05 01 02"));
  EXPECT_EQ(RESULT_PROTOCOL_ERROR, ReadVarData(&peer.channel(), buf, 4));
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, ReadVarData(&peer.channel(), buf, 0));
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, ReadVarData(&peer.channel(), nullptr, 4));
}

TEST(proto_VarDataTest, TruncatedDataReturnsTheChannelCode) {
  WirePeer peer;
  peer.SendRaw(Bytes("00 05 01 02"));
  peer.CloseRaw();
  char buf[8];
  EXPECT_EQ(RESULT_IO_ERROR, ReadVarData(&peer.channel(), buf, 8));
}

// --- Messages: exact wire images ------------------------------------------

struct WireCase {
  const char* m_name;
  std::function<int(Channel*)> m_send;
  std::string m_wire;
};

NUploadRequest SampleUpload() {
  NUploadRequest r;
  r.m_base_sync_id = 7;
  r.m_view_id = 0x1122334455667788ull;
  r.m_path = "docs/a.txt";
  r.m_uid = 1026;
  r.m_gid = 100;
  r.m_mtime = 1700000000;
  r.m_size = 12;
  r.m_hash = "0123456789abcdef0123456789abcdef";
  r.m_data_path = "/volume1/@tmp/x";
  r.m_mac_size = 82;
  r.m_mac_hash = "ffff";
  r.m_mac_data_path = "/volume1/@tmp/y";
  r.m_worker_num = 4;
  return r;
}

NDownloadResponse SampleDownload() {
  NDownloadResponse r;
  r.m_sync_id = 99;
  r.m_node_id = 5;
  r.m_parent_id = 2;
  r.m_name = "a.txt";
  r.m_path = "docs/a.txt";
  r.SetDir();
  r.m_uid = 1;
  r.m_gid = 2;
  r.m_reserved = 3;
  r.m_mtime = 4;
  r.m_size = 5;
  r.m_data_hash = "h";
  r.m_data_path = "/p";
  r.m_mac_size = 6;
  r.m_mac_hash = "mh";
  r.m_mac_data_path = "/mp";
  return r;
}

NServerEvent SampleEvent(uint64_t n) {
  NServerEvent e;
  e.m_view_id = 3;
  e.m_path = "dir/f" + std::to_string(n);
  e.m_flags = 0x5;
  e.m_sync_id = 100 + n;
  e.m_node_id = 200 + n;
  e.m_reserved = 300 + n;
  e.m_size = 400 + n;
  e.m_hash = "abc";
  return e;
}

std::string EventWire(const NServerEvent& e) {
  return U64(e.m_view_id) + Str32(e.m_path) + U32(e.m_flags) + U64(e.m_sync_id) + U64(e.m_node_id) +
         U64(e.m_reserved) + U64(e.m_size) + Str32(e.m_hash);
}

TEST(proto_MessagesTest, WireImages) {
  NUploadRequest upload = SampleUpload();
  NDownloadResponse download = SampleDownload();
  NPullEventResponse pull;
  pull.m_sync_id = 42;
  pull.m_events = {SampleEvent(1), SampleEvent(2)};
  NPullEventRequest pull_request;
  pull_request.m_view_id = 9;
  pull_request.m_sync_id = 10;
  NDownloadRequest dl_request;
  dl_request.m_path = "p";
  NRemoveRequest rm_request;
  rm_request.m_sync_id = 1;
  rm_request.m_view_id = 2;
  rm_request.m_path = "q";
  rm_request.m_worker_num = 3;
  NUploadResponse upload_response;
  upload_response.m_sync_id = 1;
  upload_response.m_node_id = 2;
  upload_response.m_parent_id = 3;
  upload_response.m_name = "n";
  upload_response.m_mtime = 4;
  NConnectResponse connect_response;
  connect_response.m_conn_num = 17;
  NUploadRequest dir;
  dir.SetDir();

  WireCase cases[] = {
      {"connect request", [](Channel* c) { return NConnectRequest().Send(c); },
       U32(13) + "Hello Varnel!"},
      {"connect response", [&](Channel* c) { return connect_response.Send(c); }, Bytes("00 00 00 00 00 00 00 11")},
      {"keep alive request", [](Channel* c) { return NKeepAliveRequest().Send(c); }, ""},
      {"keep alive response", [](Channel* c) { return NKeepAliveResponse().Send(c); }, ""},
      {"pull request: view first", [&](Channel* c) { return pull_request.Send(c); }, U64(9) + U64(10)},
      {"pull response, empty", [](Channel* c) {
         NPullEventResponse r;
         r.m_sync_id = 42;
         return r.Send(c);
       },
       U32(0) + U64(42) + U32(0)},
      {"pull response with events", [&](Channel* c) { return pull.Send(c); },
       U32(0) + U64(42) + U32(2) + EventWire(pull.m_events[0]) + EventWire(pull.m_events[1])},
      {"download request, default worker", [&](Channel* c) { return dl_request.Send(c); },
       U64(0) + U64(0) + Str16("p") + Bytes("ff ff ff ff")},
      {"remove request", [&](Channel* c) { return rm_request.Send(c); }, U64(1) + U64(2) + Str16("q") + U32(3)},
      {"remove response", [](Channel* c) {
         NRemoveResponse r;
         r.m_error_code = 11;
         return r.Send(c);
       },
       U32(11)},
      {"upload request", [&](Channel* c) { return upload.Send(c); },
       U64(7) + U64(0x1122334455667788ull) + Str16("docs/a.txt") + U32(0) + U32(1026) + U32(100) + U32(0) +
           U32(1700000000) + U64(12) + Str16(upload.m_hash) + Str16("/volume1/@tmp/x") + U64(82) + Str16("ffff") +
           Str16("/volume1/@tmp/y") + U32(4)},
      {"upload request for a directory", [&](Channel* c) { return dir.Send(c); },
       U64(0) + U64(0) + Str16("") + U32(1) + U32(0) + U32(0) + U32(0) + U32(0) + U64(0) + Str16("") + Str16("") +
           U64(0) + Str16("") + Str16("") + Bytes("ff ff ff ff")},
      {"upload response", [&](Channel* c) { return upload_response.Send(c); },
       U32(0) + U64(1) + U64(2) + U64(3) + Str32("n") + U32(4)},
      {"download response", [&](Channel* c) { return download.Send(c); },
       U32(0) + U64(99) + U64(5) + U64(2) + Str32("a.txt") + Str16("docs/a.txt") + U32(1) + U32(1) + U32(2) + U32(3) +
           U32(4) + U64(5) + Str16("h") + Str16("/p") + U64(6) + Str16("mh") + Str16("/mp")},
  };
  for (const WireCase& c : cases) {
    WirePeer peer;
    ASSERT_EQ(0, c.m_send(&peer.channel())) << c.m_name;
    EXPECT_EQ(0u, peer.channel().WritePending()) << c.m_name << ": Send must flush";
    EXPECT_EQ(Hex(c.m_wire), Hex(peer.Drain(100))) << c.m_name;
  }
}

TEST(proto_MessagesTest, ErrorCodeAloneEndsAResponse) {
  struct Case {
    const char* m_name;
    std::function<int(Channel*)> m_send;
  } cases[] = {
      {"connect", [](Channel* c) { NConnectResponse r; r.m_error_code = 5; r.m_conn_num = 9; return r.Send(c); }},
      {"upload", [](Channel* c) { NUploadResponse r; r.m_error_code = 8; r.m_sync_id = 9; return r.Send(c); }},
      {"download", [](Channel* c) { NDownloadResponse r = SampleDownload(); r.m_error_code = 11; return r.Send(c); }},
      {"pull", [](Channel* c) { NPullEventResponse r; r.m_error_code = 7; r.m_events = {SampleEvent(1)}; return r.Send(c); }},
  };
  for (const Case& c : cases) {
    WirePeer peer;
    ASSERT_EQ(0, c.m_send(&peer.channel())) << c.m_name;
    EXPECT_EQ(4u, peer.Drain(100).size()) << c.m_name;
  }

  // Receiving side: the other fields keep their values.
  WirePeer peer;
  peer.SendRaw(U32(5) + U32(1234));
  NConnectResponse response;
  response.m_conn_num = 77;
  ASSERT_EQ(0, response.Recv(&peer.channel()));
  EXPECT_EQ(5u, response.m_error_code);
  EXPECT_EQ(77u, response.m_conn_num);
  uint32_t next = 0;  // the next bytes were not consumed
  ASSERT_EQ(0, peer.channel().ReadU32(&next));
  EXPECT_EQ(1234u, next);
}

// Every class goes through its own Send and Recv unchanged, so a peer can
// play either side with these classes.
TEST(proto_MessagesTest, RoundTripEveryClass) {
  test::ChannelPair pair;
  auto round_trip = [&](Serializable& out, Serializable& in) {
    ASSERT_EQ(0, out.Send(&pair.m_a));
    ASSERT_EQ(0, in.Recv(&pair.m_b));
  };
  {
    NConnectRequest out, in;
    out.m_greeting = "hi";
    round_trip(out, in);
    EXPECT_EQ("hi", in.m_greeting);
  }
  {
    NConnectResponse out, in;
    out.m_conn_num = 31;
    round_trip(out, in);
    EXPECT_EQ(31u, in.m_conn_num);
  }
  {
    NPullEventRequest out, in;
    out.m_view_id = 1;
    out.m_sync_id = 2;
    round_trip(out, in);
    EXPECT_EQ(1u, in.m_view_id);
    EXPECT_EQ(2u, in.m_sync_id);
  }
  {
    NPullEventResponse out, in;
    out.m_sync_id = 5;
    out.m_events = {SampleEvent(1), SampleEvent(2), SampleEvent(3)};
    in.m_events = {SampleEvent(0)};  // Recv appends
    round_trip(out, in);
    ASSERT_EQ(4u, in.m_events.size());
    EXPECT_EQ(5u, in.m_sync_id);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(EventWire(out.m_events[i - 1]), EventWire(in.m_events[i]));
    EXPECT_TRUE(in.m_events[1].IsDeleted());
    EXPECT_TRUE(in.m_events[1].IsDir());
    EXPECT_FALSE(in.m_events[1].IsPlainChange());
  }
  {
    NDownloadRequest out, in;
    out.m_sync_id = 3;
    out.m_view_id = 4;
    out.m_path = "x/y";
    round_trip(out, in);
    EXPECT_EQ(3u, in.m_sync_id);
    EXPECT_EQ(4u, in.m_view_id);
    EXPECT_EQ("x/y", in.m_path);
    EXPECT_EQ(-1, in.m_worker_num);
  }
  {
    NRemoveRequest out, in;
    out.m_worker_num = 6;
    round_trip(out, in);
    EXPECT_EQ(6, in.m_worker_num);
  }
  {
    NRemoveResponse out, in;
    out.m_error_code = 11;
    round_trip(out, in);
    EXPECT_EQ(11u, in.m_error_code);
  }
  {
    NUploadRequest out = SampleUpload(), in;
    round_trip(out, in);
    EXPECT_EQ(out.m_base_sync_id, in.m_base_sync_id);
    EXPECT_EQ(out.m_view_id, in.m_view_id);
    EXPECT_EQ(out.m_path, in.m_path);
    EXPECT_TRUE(in.IsFile());
    EXPECT_EQ(out.m_uid, in.m_uid);
    EXPECT_EQ(out.m_gid, in.m_gid);
    EXPECT_EQ(out.m_mtime, in.m_mtime);
    EXPECT_EQ(out.m_size, in.m_size);
    EXPECT_EQ(out.m_hash, in.m_hash);
    EXPECT_EQ(out.m_data_path, in.m_data_path);
    EXPECT_EQ(out.m_mac_size, in.m_mac_size);
    EXPECT_EQ(out.m_mac_hash, in.m_mac_hash);
    EXPECT_EQ(out.m_mac_data_path, in.m_mac_data_path);
    EXPECT_EQ(out.m_worker_num, in.m_worker_num);
  }
  {
    NUploadResponse out, in;
    out.m_sync_id = 1;
    out.m_node_id = 2;
    out.m_parent_id = 3;
    out.m_name = "name";
    out.m_mtime = 4;
    round_trip(out, in);
    EXPECT_EQ(1u, in.m_sync_id);
    EXPECT_EQ(2u, in.m_node_id);
    EXPECT_EQ(3u, in.m_parent_id);
    EXPECT_EQ("name", in.m_name);
    EXPECT_EQ(4u, in.m_mtime);
  }
  {
    NDownloadResponse out = SampleDownload(), in;
    round_trip(out, in);
    EXPECT_EQ(out.m_sync_id, in.m_sync_id);
    EXPECT_EQ(out.m_name, in.m_name);
    EXPECT_EQ(out.m_path, in.m_path);
    EXPECT_TRUE(in.IsDir());
    EXPECT_EQ(out.m_reserved, in.m_reserved);
    EXPECT_EQ(out.m_size, in.m_size);
    EXPECT_EQ(out.m_data_hash, in.m_data_hash);
    EXPECT_EQ(out.m_data_path, in.m_data_path);
    EXPECT_EQ(out.m_mac_size, in.m_mac_size);
    EXPECT_EQ(out.m_mac_hash, in.m_mac_hash);
    EXPECT_EQ(out.m_mac_data_path, in.m_mac_data_path);
  }
  {
    NKeepAliveRequest out, in;
    round_trip(out, in);
    NKeepAliveResponse rout, rin;
    round_trip(rout, rin);
  }
  EXPECT_EQ(0u, pair.m_b.ReadBuffered());  // nothing left over anywhere
}

TEST(proto_MessagesTest, StringLimitsOnReceipt) {
  struct Case {
    const char* m_name;
    std::string m_wire;
    std::function<int(Channel*)> m_recv;
  } cases[] = {
      {"str32 path of 8193 in a pull response", U32(0) + U64(1) + U32(1) + U64(3) + U32(8193) + std::string(8193, 'a'),
       [](Channel* c) { NPullEventResponse r; return r.Recv(c); }},
      {"str32 name of 8193 in an upload response", U32(0) + U64(1) + U64(2) + U64(3) + U32(8193),
       [](Channel* c) { NUploadResponse r; return r.Recv(c); }},
      {"str32 of 4 GiB - 1 in a connect request", U32(0xffffffff),
       [](Channel* c) { NConnectRequest r; return r.Recv(c); }},
      {"str16 of 8193 in a download response",
       U32(0) + U64(1) + U64(2) + U64(3) + Str32("n") + U32(0) + Str16(std::string(8193, 'b')),
       [](Channel* c) { NDownloadResponse r; return r.Recv(c); }},
  };
  for (const Case& c : cases) {
    WirePeer peer;
    peer.SendRaw(c.m_wire);
    EXPECT_EQ(-1, c.m_recv(&peer.channel())) << c.m_name;
  }
  // 8192 itself is accepted.
  WirePeer peer;
  peer.SendRaw(U32(0) + U64(1) + U64(2) + U64(3) + Str32(std::string(8192, 'n')) + U32(4));
  NUploadResponse r;
  ASSERT_EQ(0, r.Recv(&peer.channel()));
  EXPECT_EQ(8192u, r.m_name.size());
}

TEST(proto_MessagesTest, TruncatedResponseFails) {
  WirePeer peer;
  peer.SendRaw(U32(0) + U64(1) + U32(3) + EventWire(SampleEvent(1)));
  peer.CloseRaw();
  NPullEventResponse r;
  EXPECT_EQ(-1, r.Recv(&peer.channel()));
  EXPECT_EQ(1u, r.m_events.size());  // what arrived whole stays
}

TEST(proto_MessagesTest, SendOnAClosedChannelFails) {
  Channel closed;
  EXPECT_EQ(-1, NConnectRequest().Send(&closed));
  EXPECT_EQ(-1, SampleUpload().Send(&closed));
  NKeepAliveRequest keep_alive;
  EXPECT_EQ(0, keep_alive.Send(&closed));  // nothing pending: nothing to fail
}

}  // namespace
}  // namespace tide
