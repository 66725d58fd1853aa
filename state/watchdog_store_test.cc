#include "state/watchdog_store.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(WatchdogStore, SerializeLayoutAndParse) {
  EXPECT_EQ(WatchdogStore::serialize({{"b", {{"z", 1}, {"a", "/"}}}, {"a", "\xC3\xA9"}}),
            "{\"a\":\"\xC3\xA9\",\"b\":{\"a\":\"\\/\",\"z\":1}}");
  EXPECT_EQ(WatchdogStore::serialize({{"k", "\xFF"}}), std::nullopt);
  EXPECT_EQ(WatchdogStore::parse(R"({"version":1} {})"), std::nullopt);
  // Nesting is refused beyond 16 levels, and deep nesting stops the parse
  // before it costs memory or stack.
  for (const auto& [depth, parses] : {std::pair{16, true}, {17, false}, {100000, false}}) {
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(WatchdogStore::parse(nested).has_value(), parses) << depth;
    EXPECT_EQ(WatchdogStore::parse("{\"a\":" + nested + "}").has_value(), depth < 16) << depth;
  }
}

}  // namespace
}  // namespace veldane
