#ifndef VELDANE_STATE_TEST_SUPPORT_H_
#define VELDANE_STATE_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

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

// `document` with `key` set to `value`, or removed when `value` is absent.
inline nlohmann::json withField(nlohmann::json document, const char* key,
                                const std::optional<nlohmann::json>& value) {
  if (value) {
    document[key] = *value;
  } else {
    document.erase(key);
  }
  return document;
}

}  // namespace veldane

#endif  // VELDANE_STATE_TEST_SUPPORT_H_
