#include "proto/explain_message.h"

#include <gtest/gtest.h>

namespace tide {
namespace {

PObject Request(const PObject& view_id, const PObject& path) {
  PObject message;
  message["action"] = EXPLAIN_ACTION;
  if (!view_id.IsNull()) message["view_id"] = view_id;
  if (!path.IsNull()) message["path"] = path;
  return message;
}

TEST(ExplainMessage, RequestsThatAreRefused) {
  struct Row {
    const char* m_name;
    PObject m_message;
  };
  const std::string nul("/a\0b", 4);
  const Row rows[] = {
      {"no view id", Request(PObject(), "/a")},
      {"view id 0", Request(0ul, "/a")},
      {"view id as text", Request("10", "/a")},
      {"no path", Request(10ul, PObject())},
      {"path as a number", Request(10ul, 5ul)},
      {"empty path", Request(10ul, "")},
      {"relative path", Request(10ul, "a/b")},
      {"dot-dot", Request(10ul, "/a/../../etc")},
      {"dot", Request(10ul, "/./a")},
      {"empty component", Request(10ul, "/a//b")},
      {"trailing slash", Request(10ul, "/a/")},
      {"NUL byte", Request(10ul, nul)},
      {"too long", Request(10ul, "/" + std::string(EXPLAIN_PATH_MAX, 'x'))},
      {"another action", PObject(PMap{{"action", PObject("stop")}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_name);
    ExplainRequest request;
    std::string error;
    EXPECT_EQ(-1, ParseExplainRequest(row.m_message, &request, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(ExplainMessage, RequestsAndRepliesRoundTrip) {
  for (const ExplainRequest& request : {ExplainRequest{10, "/"}, ExplainRequest{1ull << 40, "/d/\xff odd..name"}}) {
    ExplainRequest parsed;
    std::string error;
    ASSERT_EQ(0, ParseExplainRequest(BuildExplainRequest(request), &parsed, &error)) << error;
    EXPECT_EQ(request, parsed);
  }
  ExplainReply waiting;
  waiting.m_known_view = true;
  waiting.m_frozen = true;
  waiting.m_queue = "waiting";
  waiting.m_event = "RESCAN_SYNC";
  waiting.m_through = "/d";
  waiting.m_position = 3;
  ExplainReply refused;
  refused.m_error = "no path";
  for (const ExplainReply& reply : {ExplainReply{}, waiting, refused}) {
    ExplainReply parsed;
    ASSERT_EQ(0, ParseExplainReply(BuildExplainReply(reply), &parsed));
    EXPECT_EQ(reply, parsed);
  }
  ExplainReply parsed;
  EXPECT_EQ(-1, ParseExplainReply(PObject("text"), &parsed));
  EXPECT_EQ(-1, ParseExplainReply(PObject(PMap{{"queue", PObject("lost")}}), &parsed));
}

}  // namespace
}  // namespace tide
