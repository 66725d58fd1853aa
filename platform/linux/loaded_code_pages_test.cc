#include "platform/linux/loaded_code_pages.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

struct Shape {
  virtual ~Shape() = default;
  virtual std::string name() const = 0;
};
struct Circle : Shape {
  std::string name() const override { return "circle"; }
};

TEST(LoadedCodePages, ReleasedPagesComeBackAndRelocationsStay) {
  EXPECT_GT(LoadedCodePages::release(), 0u);
  // Calls through the relocated tables: virtual calls, library calls through
  // the offset table, exceptions with their type information.
  std::unique_ptr<Shape> shape = std::make_unique<Circle>();
  EXPECT_EQ(shape->name(), "circle");
  std::function<int(int)> twice = [](int n) { return 2 * n; };
  EXPECT_EQ(twice(21), 42);
  EXPECT_EQ(std::to_string(1234567), "1234567");
  EXPECT_THROW(throw std::runtime_error("thrown after the release"), std::runtime_error);
}

}  // namespace
}  // namespace veldane
