#include "proto/pobject.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tide {
namespace {

TEST(proto_PObjectTest, ConstructionGivesTheKind) {
  EXPECT_TRUE(PObject().IsNull());
  EXPECT_TRUE(PObject(uint8_t{7}).IsInteger());
  EXPECT_TRUE(PObject(7u).IsInteger());
  EXPECT_TRUE(PObject(uint64_t{7}).IsInteger());
  EXPECT_TRUE(PObject("x").IsString());
  EXPECT_TRUE(PObject(std::string("x")).IsString());
  EXPECT_TRUE(PObject(PArray{}).IsArray());
  EXPECT_TRUE(PObject(PMap{}).IsMap());
  EXPECT_TRUE(PObject(PBinary{}).IsBinary());
  EXPECT_TRUE(PObject(PMap{}).IsContainer());
  EXPECT_TRUE(PObject(PBinary{}).IsScalar());
  EXPECT_FALSE(PObject().IsScalar());
  // A signed value is sign-extended.
  EXPECT_EQ(0xffffffffffffffffull, PObject(-1).AsUInt64());
  EXPECT_EQ(-1, PObject(-1).AsInt32());
}

TEST(proto_PObjectTest, NarrowingAccessors) {
  PObject v(uint64_t{0x1234567890abcdefull});
  EXPECT_EQ(0x90abcdefu, v.AsUInt32());
  EXPECT_EQ(static_cast<int32_t>(0x90abcdef), v.AsInt32());
  EXPECT_EQ(0xcdef, v.AsUInt16());
  EXPECT_EQ(static_cast<int16_t>(0xcdef), v.AsInt16());
  EXPECT_EQ(0xef, v.AsUInt8());
  EXPECT_EQ(static_cast<int8_t>(0xef), v.AsInt8());
  EXPECT_EQ(0u, PObject("12").AsUInt64());
}

TEST(proto_PObjectTest, StringAndTextForms) {
  PObject big(uint64_t{(1ull << 32) + 5});
  EXPECT_EQ("5", big.AsString());
  EXPECT_EQ("4294967301", big.ToString());
  EXPECT_EQ("", PObject(PMap{}).AsString());

  PObject msg;
  msg["type"] = 3u;
  msg["action"] = "pause";
  EXPECT_EQ(R"({"action": "pause", "type": 3})", msg.ToString());
  PObject list(PArray{PObject(1u), PObject(), PObject("a"), PObject(PBinary{4, 9, "/f"})});
  EXPECT_EQ(R"([1, null, "a", {offset: 4, length: 9, path: "/f"}])", list.ToString());
  EXPECT_EQ("{}", PObject(PMap{}).ToString());
  EXPECT_EQ("[]", PObject(PArray{}).ToString());
}

TEST(proto_PObjectTest, EmptinessAndTruth) {
  struct Case {
    PObject m_value;
    bool m_empty;
    bool m_bool;
  } cases[] = {
      {PObject(), true, false},
      {PObject(0u), false, false},
      {PObject(2u), false, true},
      {PObject(""), true, false},
      {PObject("a"), false, true},
      {PObject(PMap{}), true, false},
      {PObject(PArray{PObject()}), false, true},
      {PObject(PBinary{}), true, false},
      {PObject(PBinary{0, 0, "/x"}), false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.m_empty, c.m_value.IsEmpty()) << c.m_value.ToString();
    EXPECT_EQ(c.m_bool, c.m_value.AsBool()) << c.m_value.ToString();
  }
}

TEST(proto_PObjectTest, LookupsInsertOnlyThroughTheMutableIndex) {
  PObject m;
  m["b"] = 2u;
  EXPECT_TRUE(m.Find("missing").IsNull());
  EXPECT_FALSE(m.HasKey("missing"));
  EXPECT_EQ(1u, m.Size());
  EXPECT_TRUE(m["missing"].IsNull());
  EXPECT_TRUE(m.HasKey("missing"));
  EXPECT_EQ(2u, m.Size());
  EXPECT_TRUE(PObject("s").Find("b").IsNull());
  EXPECT_FALSE(PObject("s").HasKey("b"));
  // A non-map becomes a map on the mutable index.
  PObject s("text");
  s["k"] = "v";
  EXPECT_TRUE(s.IsMap());
}

TEST(proto_PObjectTest, PositionalAccess) {
  PObject m;
  m["b"] = 2u;
  m["a"] = 1u;
  m["_c"] = 3u;  // "_" sorts first
  EXPECT_EQ(3u, m.At(0).AsUInt64());
  EXPECT_EQ(1u, m.At(1).AsUInt64());
  EXPECT_EQ(2u, m.At(2).AsUInt64());
  EXPECT_TRUE(m.At(3).IsNull());
  EXPECT_EQ(1u, m[1].AsUInt64());
  EXPECT_THROW(m[3], std::out_of_range);
  EXPECT_THROW(m[-1], std::out_of_range);
  PObject a(PArray{PObject(5u), PObject(6u)});
  EXPECT_EQ(6u, a.At(1).AsUInt64());
  EXPECT_TRUE(a.At(2).IsNull());
  try {
    a[0];
    FAIL() << "an array has no positional map index";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("out_of_range: PObject::operator[]", e.what());
  }
  EXPECT_TRUE(PObject(9u).At(0).IsNull());
}

TEST(proto_PObjectTest, ConversionsReplaceOtherKinds) {
  PObject v(5u);
  v.AsArray().push_back(PObject(1u));
  EXPECT_TRUE(v.IsArray());
  EXPECT_EQ(1u, v.Size());
  v.AsArray().push_back(PObject(2u));  // stays the same array
  EXPECT_EQ(2u, v.Size());
  v.AsBinary().m_path = "/p";
  EXPECT_TRUE(v.IsBinary());
  EXPECT_EQ(0u, v.AsBinary().m_offset);
  v.AsMap()["k"] = 1u;
  EXPECT_TRUE(v.IsMap());
  v.Clear();
  EXPECT_TRUE(v.IsNull());
  // Read-only views of another kind give empty defaults.
  const PObject c("x");
  EXPECT_TRUE(c.AsMap().empty());
  EXPECT_TRUE(c.AsArray().empty());
  EXPECT_TRUE(c.AsBinary().m_path.empty());
}

TEST(proto_PObjectTest, CopiesAreDeep) {
  PObject original;
  original["list"] = PObject(PArray{PObject("a")});
  original["bin"] = PObject(PBinary{1, 2, "/f"});
  PObject copy = original;
  copy["list"].AsArray().push_back(PObject("b"));
  copy["bin"].AsBinary().m_path = "/g";
  EXPECT_EQ(1u, original.Find("list").Size());
  EXPECT_EQ("/f", original.Find("bin").AsBinary().m_path);
  EXPECT_FALSE(copy == original);
  copy = original;
  EXPECT_TRUE(copy == original);
  // Assigning a child to its parent keeps the child's value.
  PObject parent;
  parent["child"]["x"] = 1u;
  parent = parent["child"];
  EXPECT_EQ(R"({"x": 1})", parent.ToString());
}

}  // namespace
}  // namespace tide
