#include "platform/linux/proc_stat.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace veldane {
namespace {

// As a 6.x kernel writes a thread's stat: 52 fields, a line break.
const std::string kTail =
    " 1 4711 4711 0 -1 4194560 2063 0 0 0 250 37 0 0 20 0 3 0 123456 23822336 3070 "
    "18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

TEST(ProcStat, ReadsTheFieldsAfterTheLastParenthesis) {
  const struct {
    const char* name;
    std::string text;
    std::optional<ProcStat> stat;
  } cases[] = {
      {"plain", "4712 (app) S" + kTail, ProcStat{"app", 'S', 250, 37, 123456}},
      {"a name with ') ' in it", "4712 (a) R (b) D" + kTail, ProcStat{"a) R (b", 'D', 250, 37, 123456}},
      {"an empty name", "4712 () Z" + kTail, ProcStat{"", 'Z', 250, 37, 123456}},
      {"cut after the CPU times", "4712 (app) S 1 4711 4711 0 -1 4194560 2063 0 0 0 250 37",
       std::nullopt},
      {"cut before the start", "4712 (app) S" + kTail.substr(0, kTail.find(" 123456")),
       std::nullopt},
      {"a time that is no number", "4712 (app) S 1 4711 4711 0 -1 4194560 2063 0 0 0 2x0 37 0 0 "
                                   "20 0 3 0 123456 1\n",
       std::nullopt},
      {"no parentheses", "4712 app S" + kTail, std::nullopt},
      {"parentheses the wrong way", "4712 )app( S" + kTail, std::nullopt},
      {"nothing", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseProcStat(c.text), c.stat) << c.name;
  }
}

}  // namespace
}  // namespace veldane
