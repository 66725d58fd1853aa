#ifndef VELDANE_STATE_TEST_SUPPORT_H_
#define VELDANE_STATE_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace veldane {

// A fresh temporary folder, removed with its content when the value goes.
struct TestFolder {
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  const std::filesystem::path path = [] {
    std::string pattern = std::filesystem::temp_directory_path() / "state_test.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    return pattern;
  }();
};

}  // namespace veldane

#endif  // VELDANE_STATE_TEST_SUPPORT_H_
