#include "proto/pstream.h"

#include <sched.h>
#include <sys/mount.h>
// <sys/mount.h> defines BLOCK_SIZE as a macro, which would hide
// Channel::BLOCK_SIZE.
#undef BLOCK_SIZE
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "proto/channel.h"
#include "support/temp_dir.h"
#include "wire_peer.h"

namespace tide {
namespace {

using test::Bytes;
using test::Hex;
using test::WirePeer;

std::string Encode(const PObject& value) {
  WirePeer peer;
  PStream stream;
  EXPECT_EQ(0, stream.Send(&peer.channel(), value));
  return Hex(peer.Drain(100));
}

TEST(proto_PStreamTest, Encodings) {
  PObject keyed;
  keyed["code"] = 1u;
  keyed["_action"] = "x";
  PObject nested;
  nested["a"] = PObject(PArray{PObject(), PObject(0u)});
  struct Case {
    PObject m_value;
    const char* m_wire;
  } cases[] = {
      {PObject(), "00 00"},
      {PObject(0u), "01 01 00"},
      {PObject(255u), "01 01 ff"},
      {PObject(256u), "01 02 01 00"},
      {PObject(65535u), "01 02 ff ff"},
      {PObject(65536u), "01 04 00 01 00 00"},
      {PObject(0xffffffffu), "01 04 ff ff ff ff"},
      {PObject(uint64_t{1} << 32), "01 08 00 00 00 01 00 00 00 00"},
      {PObject(""), "10 00 00"},
      {PObject("ab"), "10 00 02 61 62"},
      {PObject(PMap{}), "42 40"},
      {PObject(PArray{}), "41 40"},
      // "_action" sorts first and goes out as "action".
      {keyed, "42 10 00 06 61 63 74 69 6f 6e 10 00 01 78 10 00 04 63 6f 64 65 01 01 01 40"},
      {nested, "42 10 00 01 61 41 00 00 01 01 00 40 40"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.m_wire, Encode(c.m_value)) << c.m_value.ToString();
}

TEST(proto_PStreamTest, RoundTripOfANestedMessage) {
  PObject msg;
  msg["action"] = "enable";
  msg["user_list"] = PObject(PArray{});
  for (uint32_t i = 0; i < 3; ++i) {
    PObject user;
    user["name"] = "user" + std::to_string(i);
    user["uid"] = PObject(uint64_t{1000} << (20 * i));
    msg["user_list"].AsArray().push_back(user);
  }
  msg["empty"] = PObject();
  test::ChannelPair pair;
  PStream out, in;
  ASSERT_EQ(0, out.Send(&pair.m_a, msg));
  PObject got;
  ASSERT_EQ(0, in.Recv(&pair.m_b, &got));
  EXPECT_TRUE(got == msg) << got.ToString();
}

TEST(proto_PStreamTest, ReceivingIntoExistingValues) {
  WirePeer peer;
  PStream stream;
  // A map keeps its entries and gains or overwrites; an array is appended to.
  PObject map;
  map["keep"] = 1u;
  map["over"] = 1u;
  peer.SendRaw(Bytes("42 10 00 04 6f 76 65 72 01 01 02 40"));
  ASSERT_EQ(0, stream.Recv(&peer.channel(), &map));
  EXPECT_EQ(R"({"keep": 1, "over": 2})", map.ToString());
  PObject array(PArray{PObject(1u)});
  peer.SendRaw(Bytes("41 01 01 02 40"));
  ASSERT_EQ(0, stream.Recv(&peer.channel(), &array));
  EXPECT_EQ("[1, 2]", array.ToString());
  // Any length byte up to 8 is accepted on input, 0 included.
  PObject value("was a string");
  peer.SendRaw(Bytes("01 00"));
  ASSERT_EQ(0, stream.Recv(&peer.channel(), &value));
  EXPECT_TRUE(value.IsInteger());
  EXPECT_EQ(0u, value.AsUInt64());
  peer.SendRaw(Bytes("01 03 01 02 03"));
  ASSERT_EQ(0, stream.Recv(&peer.channel(), &value));
  EXPECT_EQ(0x010203u, value.AsUInt64());
}

TEST(proto_PStreamTest, MalformedInput) {
  std::string deep_ok, deep_bad;
  for (uint32_t i = 0; i < PStream::MAX_DEPTH; ++i) deep_ok += "41 ";
  for (uint32_t i = 0; i < PStream::MAX_DEPTH; ++i) deep_ok += "40 ";
  for (uint32_t i = 0; i <= PStream::MAX_DEPTH; ++i) deep_bad += "41 ";
  struct Case {
    const char* m_name;
    std::string m_wire;
    int m_result;
  } cases[] = {
      {"null with a length", "00 01", -5},
      {"map key that is an integer", "42 01 01 05 01 01 01 40", -5},
      {"integer length byte above 8", "01 09 00 00 00 00 00 00 00 00 00", -5},
      {"unknown tag", "7f", -5},
      {"stray end tag", "40", -5},
      {"nesting at the limit", deep_ok, 0},
      {"nesting past the limit", deep_bad, -5},
      {"deep maps past the limit", [] {
         std::string s;
         for (uint32_t i = 0; i <= PStream::MAX_DEPTH; ++i) s += "42 10 00 01 6b ";
         return s;
       }(), -5},
      {"string cut short", "10 00 05 61 62", -2},
      {"map without its end", "42 10 00 01 6b 00 00", -2},
      {"nothing at all", "", -2},
  };
  for (const Case& c : cases) {
    WirePeer peer;
    peer.channel().SetTimeout(2);
    peer.SendRaw(Bytes(c.m_wire));
    peer.CloseRaw();
    PStream stream;
    PObject value;
    EXPECT_EQ(c.m_result, stream.Recv(&peer.channel(), &value)) << c.m_name;
  }
}

TEST(proto_PStreamTest, OverlongStringIsRefused) {
  WirePeer peer;
  PStream stream;
  EXPECT_EQ(-5, stream.Send(&peer.channel(), PObject(std::string(65536, 'a'))));
  PObject m;
  m[std::string(70000, 'k')] = 1u;
  EXPECT_EQ(-5, stream.Send(&peer.channel(), m));
  EXPECT_EQ(0, stream.Send(&peer.channel(), PObject(std::string(65535, 'a'))));
}

class proto_PStreamBinaryTest : public testing::Test {
 protected:
  std::string MakeFile(const std::string& name, size_t size) {
    std::string data(size, '\0');
    std::mt19937 rng(static_cast<unsigned>(size));
    for (char& c : data) c = static_cast<char>(rng());
    return m_dir.WriteFile(name, data);
  }

  // Sends `value` from one end of a pair and receives it into `target`.
  void Transfer(const PObject& value, PObject* target, int* send_result, int* recv_result) {
    test::ChannelPair pair;
    std::thread sender([&] {
      PStream out;
      *send_result = out.Send(&pair.m_a, value);
      if (*send_result < 0) pair.m_a.Close();
    });
    PStream in;
    in.SetTempDir(m_dir.Path());
    *recv_result = in.Recv(&pair.m_b, target);
    if (*recv_result < 0) pair.m_b.Close();
    sender.join();
  }

  test::TempDir m_dir;
};

TEST_F(proto_PStreamBinaryTest, FileRegionTravelsIntoATemporaryFile) {
  std::string source = MakeFile("source", 300000);
  std::string data = test::TempDir::ReadFile(source);
  PObject msg;
  msg["file"] = PObject(PBinary{1000, 250000, source});
  PObject got;
  int sent = 1, received = 1;
  Transfer(msg, &got, &sent, &received);
  ASSERT_EQ(0, sent);
  ASSERT_EQ(0, received);
  const PBinary& bin = got.Find("file").AsBinary();
  EXPECT_EQ(250000u, bin.m_offset);
  EXPECT_EQ(250000u, bin.m_length);
  EXPECT_EQ(0u, bin.m_path.rfind(m_dir.Path() + "/", 0)) << bin.m_path;
  EXPECT_TRUE(test::TempDir::ReadFile(bin.m_path) == data.substr(1000, 250000));
  struct stat st;
  ASSERT_EQ(0, stat(bin.m_path.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777);
}

TEST_F(proto_PStreamBinaryTest, EmptyBinaryCreatesAnEmptyFile) {
  std::string source = MakeFile("source", 10);
  PObject got;
  int sent = 1, received = 1;
  Transfer(PObject(PBinary{0, 0, source}), &got, &sent, &received);
  ASSERT_EQ(0, received);
  EXPECT_EQ(0u, got.AsBinary().m_offset);
  EXPECT_EQ(0u, got.AsBinary().m_length);
  EXPECT_EQ("", test::TempDir::ReadFile(got.AsBinary().m_path));
}

TEST_F(proto_PStreamBinaryTest, PresetPathIsTruncatedToTheOffsetAndAppended) {
  std::string source = MakeFile("source", 50);
  std::string target = m_dir.WriteFile("target", std::string(400, 't'));
  PObject got(PBinary{100, 250, target});
  int sent = 1, received = 1;
  Transfer(PObject(PBinary{0, 50, source}), &got, &sent, &received);
  ASSERT_EQ(0, received);
  EXPECT_EQ(150u, got.AsBinary().m_offset);
  EXPECT_EQ(150u, got.AsBinary().m_length);
  EXPECT_EQ(target, got.AsBinary().m_path);
  EXPECT_TRUE(test::TempDir::ReadFile(target) == std::string(100, 't') + test::TempDir::ReadFile(source));

  // Offset 0 rewrites the file from scratch.
  PObject again(PBinary{0, 0, target});
  Transfer(PObject(PBinary{10, 20, source}), &again, &sent, &received);
  ASSERT_EQ(0, received);
  EXPECT_EQ(20u, again.AsBinary().m_length);
  EXPECT_TRUE(test::TempDir::ReadFile(target) == test::TempDir::ReadFile(source).substr(10, 20));
}

TEST_F(proto_PStreamBinaryTest, SourceShorterThanAnnouncedFailsTheSend) {
  std::string source = MakeFile("source", 100);
  WirePeer peer;
  PStream stream;
  EXPECT_EQ(-1, stream.Send(&peer.channel(), PObject(PBinary{50, 100, source})));
  EXPECT_EQ(-1, stream.Send(&peer.channel(), PObject(PBinary{0, 1, m_dir / "missing"})));
}

TEST_F(proto_PStreamBinaryTest, UnwritableTargetFails) {
  std::string source = MakeFile("source", 10);
  PObject got(PBinary{0, 0, m_dir / "no/such/dir/file"});
  int sent = 1, received = 1;
  Transfer(PObject(PBinary{0, 10, source}), &got, &sent, &received);
  EXPECT_EQ(-1, received);
  PObject in_missing_dir;
  {
    test::ChannelPair pair;
    PStream out;
    ASSERT_EQ(0, out.Send(&pair.m_a, PObject(PBinary{0, 10, source})));
    PStream in;
    in.SetTempDir(m_dir / "absent");
    EXPECT_EQ(-1, in.Recv(&pair.m_b, &in_missing_dir));
  }
}

// Storing a binary on a full file system: a small tmpfs in a private mount
// namespace of a child process.
TEST_F(proto_PStreamBinaryTest, FullDiskGivesMinusFour) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private tmpfs";
  std::string source = MakeFile("source", 1 << 20);
  std::string mount_point = m_dir / "small";
  ASSERT_EQ(0, mkdir(mount_point.c_str(), 0755));
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0)
      _exit(77);
    Channel channel;
    channel.Open(fds[1], true);
    PStream in;
    in.SetTempDir(mount_point);
    PObject got;
    int r = in.Recv(&channel, &got);
    _exit(r == -4 ? 0 : 10 - r);
  }
  close(fds[1]);
  Channel channel;
  ASSERT_EQ(0, channel.Open(fds[0], true));
  PStream out;
  out.Send(&channel, PObject(PBinary{0, 1 << 20, source}));  // fails once the child stops reading
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
}  // namespace tide
