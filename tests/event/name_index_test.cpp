#include "event/name_index.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

namespace tide {
namespace {

struct Named {
  std::string m_name;
};

// Random inserts and erases against a reference map, with few distinct
// names so probe chains wrap round the table and erases shift them back.
TEST(NameIndexTest, AgreesWithAReferenceMap) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    NameIndex<Named> index;
    std::map<std::string, std::unique_ptr<Named>> reference;
    for (int step = 0; step < 5000; ++step) {
      std::string name = "n" + std::to_string(rng() % 300);
      auto it = reference.find(name);
      if (it == reference.end()) {
        auto node = std::make_unique<Named>(Named{name});
        index.Insert(node.get());
        reference.emplace(name, std::move(node));
      } else if (rng() % 2) {
        index.Erase(it->second.get());
        reference.erase(it);
      }
      ASSERT_EQ(reference.size(), index.size());
      if (step % 97 == 0) {
        for (int probe = 0; probe < 300; ++probe) {
          std::string key = "n" + std::to_string(probe);
          auto found = reference.find(key);
          ASSERT_EQ(found == reference.end() ? nullptr : found->second.get(), index.Find(key)) << key;
        }
      }
    }
  }
}

TEST(NameIndexTest, EmptyIndex) {
  NameIndex<Named> index;
  Named stray{"x"};
  EXPECT_EQ(nullptr, index.Find("x"));
  index.Erase(&stray);  // not indexed: nothing happens
  EXPECT_EQ(0u, index.size());
}

}  // namespace
}  // namespace tide
