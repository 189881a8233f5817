#include "event/event.h"

#include <gtest/gtest.h>

namespace tide {
namespace {

Event Make(int32_t type, const std::string& path, uint32_t flags, uint64_t sync_id, uint64_t size,
           const std::string& hash) {
  Event event;
  event.m_type = type;
  event.m_path = path;
  event.m_flags = flags;
  event.m_sync_id = sync_id;
  event.m_size = size;
  event.m_hash = hash;
  return event;
}

TEST(EventTest, DefaultIsEmptyLocalFile) {
  Event event;
  EXPECT_EQ(EMPTY, event.m_type);
  EXPECT_TRUE(event.m_path.empty() && event.m_new_path.empty() && event.m_hash.empty());
  EXPECT_EQ(0u, event.m_view_id + event.m_flags + event.m_node_id + event.m_sync_id + event.m_size);
  EXPECT_EQ("Event<EMPTY>: [0]  (local,file) size = 0, hash = ", event.ToString());
}

TEST(EventTest, ToStringTable) {
  struct Case {
    Event event;
    const char* text;
  } cases[] = {
      {Make(DOWNLOAD_REMOTE, "/a/b.txt", 0, 42, 7, "x"), "Event<DOWNLOAD_REMOTE>: [42] /a/b.txt (server,file) size = 7, hash = x"},
      {Make(RESCAN_SYNC, "/", EVENT_FLAG_DIR, 0, 0, ""), "Event<RESCAN_SYNC>: [0] / (local,dir,expand)"},
      {Make(REMOVE_LOCAL, "/d", EVENT_FLAG_DIR | EVENT_FLAG_CONFLICT, 18446744073709551615ull, 9, "h"),
       "Event<REMOVE_LOCAL>: [18446744073709551615] /d (server,dir)"},
      {Make(UPLOAD_LOCAL, "/f", EVENT_FLAG_EXCEPT, 0, 123, ""), "Event<UPLOAD_LOCAL>: [0] /f (local,file) size = 123, hash = "},
      // An expand event without the directory flag still prints its file part.
      {Make(EXPAND, "/e", 0, 0, 0, ""), "Event<EXPAND>: [0] /e (local,file,expand) size = 0, hash = "},
      {Make(RENAME_LOCAL, "/r", 0, 3, 1, "q"), "Event<RENAME_LOCAL>: [3] /r (server,file) size = 1, hash = q"},
      // Out-of-range types must not read past the name table.
      {Make(10, "/u", EVENT_FLAG_DIR, 0, 0, ""), "Event<UNKNOWN>: [0] /u (local,dir)"},
      {Make(-1, "/u", EVENT_FLAG_DIR, 0, 0, ""), "Event<UNKNOWN>: [0] /u (local,dir)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, c.event.ToString());
}

TEST(EventTest, NewPathViewAndNodeIdDoNotPrint) {
  Event event = Make(RENAME_REMOTE, "/old", 0, 0, 0, "");
  std::string before = event.ToString();
  event.m_new_path = "/new";
  event.m_view_id = 5;
  event.m_node_id = 6;
  EXPECT_EQ(before, event.ToString());
}

TEST(EventTest, ClassificationRanges) {
  for (int32_t type = -2; type <= 11; ++type) {
    Event event;
    event.m_type = type;
    EXPECT_EQ(type >= 1 && type <= 3, event.IsServerEvent()) << type;
    EXPECT_EQ(type >= 7 && type <= 9, event.IsExpandEvent()) << type;
    EXPECT_EQ(type >= 1 && type <= 6, event.IsNormalEvent()) << type;
  }
}

TEST(EventTest, CopyKeepsEveryField) {
  Event event = Make(DOWNLOAD_REMOTE, "/p", EVENT_FLAG_RESERVED8, 9, 10, "hh");
  event.m_new_path = "/n";
  event.m_view_id = 11;
  event.m_node_id = 12;
  Event copy = event;
  EXPECT_EQ(event, copy);
  Event assigned;
  assigned = event;
  EXPECT_EQ(event, assigned);
}

}  // namespace
}  // namespace tide
