#ifndef VELDANE_STATE_TEST_FOLDER_H_
#define VELDANE_STATE_TEST_FOLDER_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace veldane {

// A fresh folder under the system's temporary folder, removed with all its
// content when the value goes.
class TestFolder {
 public:
  TestFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "state_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;
  ~TestFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace veldane

#endif  // VELDANE_STATE_TEST_FOLDER_H_
