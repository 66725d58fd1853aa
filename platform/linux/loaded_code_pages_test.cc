#include "platform/linux/loaded_code_pages.h"

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

// Resident KiB of the mappings of files that are code.
long residentCodeKiB() {
  std::ifstream smaps("/proc/self/smaps");
  long total = 0;
  bool code = false;
  for (std::string line; std::getline(smaps, line);) {
    std::istringstream fields(line);
    std::string first, second;
    fields >> first >> second;
    if (first.find('-') != std::string::npos && first.back() != ':') {
      std::string offset, device, inode, path;
      fields >> offset >> device >> inode >> path;
      code = second == "r-xp" && path.starts_with('/');
    } else if (code && first == "Rss:") {
      total += std::stol(second);
    }
  }
  return total;
}

struct Shape {
  virtual ~Shape() = default;
  virtual std::string name() const = 0;
};
struct Circle : Shape {
  std::string name() const override { return "circle"; }
};

TEST(LoadedCodePages, ReleasedPagesComeBackAndRelocationsStay) {
  const long before = residentCodeKiB();
  EXPECT_GT(LoadedCodePages::release(), 0u);
  EXPECT_LT(residentCodeKiB(), before);

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
