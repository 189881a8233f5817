// Mac metadata on its way down (AppleDouble file -> attribute companions)
// and back up (companions -> AppleDouble file), with a file a Mac wrote.
#include <fcntl.h>
#include <unistd.h>

#include <map>

#include "platform/ea_store.h"
#include "sync/transfer_fixture.h"

namespace tide::test {
namespace {

const std::string FIXTURES = std::string(TIDE_FIXTURES_DIR) + "/appledouble/";

// The extended attributes of an AppleDouble file, by name.
std::map<std::string, std::string> Attributes(const std::string& path) {
  std::map<std::string, std::string> attributes;
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_LE(0, fd) << path;
  if (fd < 0) return attributes;
  VarnEAStream* stream = VARNEASOpen(fd, 0);
  EXPECT_NE(nullptr, stream) << path;
  if (stream) {
    VarnSzList* names = VLIBCSzListAlloc(8);
    VARNEASEnum(stream, names);
    for (size_t i = 0; i < VLIBCSzListCount(names); ++i) {
      const char* name = VLIBCSzListGet(names, i);
      ssize_t size = VARNEASRead(stream, name, nullptr, 0, 0, 0);
      std::string value(size > 0 ? static_cast<size_t>(size) : 0, '\0');
      if (size > 0) VARNEASRead(stream, name, value.data(), value.size(), 0, 0);
      attributes[name] = value;
    }
    VLIBCSzListFree(names);
    VARNEASClose(stream);
  }
  close(fd);
  return attributes;
}

std::string Companion(const std::string& path, const char* stream) {
  char buffer[VARN_EA_PATH_MAX];
  EXPECT_EQ(0, VARNEAPath(VARN_EA_KIND, path.c_str(), stream, buffer, sizeof buffer));
  return buffer;
}

class MacTransferTest : public TransferTest {};

TEST_F(MacTransferTest, AttributesFromAMacSurviveTheRoundTrip) {
  StartReferenceServer();
  const std::string mac = FIXTURES + "mac-bsdtar-4xattrs-file.ad";
  std::map<std::string, std::string> expected = Attributes(mac);
  ASSERT_EQ(4u, expected.size());

  RefNode node = ServerPut("/mac/file", "file data", mac);
  ASSERT_EQ(0, Run(Download("/mac/file", node.m_sync_id)));
  EXPECT_EQ("file data", Read(Local("/mac/file")));
  // The metadata arrived as the file's companion, next to it.
  EXPECT_EQ(expected, Attributes(Companion(Local("/mac/file"), "VarnEAStream")));
  EXPECT_EQ(node.m_mac_hash, Record("/mac/file").m_mac_hash);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());

  // An edit goes back up with the same metadata.
  Write(Local("/mac/file"), "edited on the appliance");
  ASSERT_EQ(0, Run(Upload("/mac/file")));
  RefNode after;
  ASSERT_EQ(1, m_store->GetNode(VIEW, "/mac/file", &after));
  EXPECT_GT(after.m_sync_id, node.m_sync_id);
  ASSERT_NE("", after.m_mac_hash);
  EXPECT_EQ(expected, Attributes(m_store->ObjectPath(after.m_mac_hash)));
  EXPECT_EQ(after.m_mac_hash, Record("/mac/file").m_mac_hash);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// Attribute names the filter black-lists stay on the appliance.
TEST_F(MacTransferTest, BlackListedAttributesAreNotUploaded) {
  StartReferenceServer();
  const std::string mac = FIXTURES + "mac-bsdtar-4xattrs-file.ad";
  RefNode node = ServerPut("/f", "data", mac);
  ASSERT_EQ(0, Run(Download("/f", node.m_sync_id)));
  FilterConfig rules;
  rules.m_black_ea_name.push_back("com.opcoders.b_second");
  SetFilterConfig(rules);
  Write(Local("/f"), "new data");
  ASSERT_EQ(0, Run(Upload("/f")));
  RefNode after;
  ASSERT_EQ(1, m_store->GetNode(VIEW, "/f", &after));
  std::map<std::string, std::string> uploaded = Attributes(m_store->ObjectPath(after.m_mac_hash));
  std::map<std::string, std::string> expected = Attributes(mac);
  expected.erase("com.opcoders.b_second");
  EXPECT_EQ(expected, uploaded);
}

}  // namespace
}  // namespace tide::test
