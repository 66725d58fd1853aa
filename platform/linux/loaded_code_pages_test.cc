#include "platform/linux/loaded_code_pages.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(LoadedCodePages, ReleasedPagesComeBackAndRelocationsStay) {
  EXPECT_GT(LoadedCodePages::release(), 0u);
  // Calls through the relocated tables: library calls through the offset
  // table, exceptions with their type information.
  EXPECT_EQ(std::to_string(1234567), "1234567");
  EXPECT_THROW(throw std::runtime_error("thrown after the release"), std::runtime_error);
}

}  // namespace
}  // namespace veldane
