#ifndef VELDANE_STATE_TEST_SUPPORT_H_
#define VELDANE_STATE_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace veldane {

// A fresh temporary folder, removed with its content when the value goes.
struct TestFolder {
  TestFolder() = default;
  TestFolder(const TestFolder&) = delete;
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

// A key of a valid document, its new value (absent: the key is removed), and
// whether the document still decodes.
using FieldCase = std::tuple<std::string, std::optional<nlohmann::json>, bool>;

// Every key of `valid` is required: without it, with it null, or as a
// non-object the document fails. Then each case changes one key of `valid`.
template <typename T>
void expectStrictDecoding(const nlohmann::json& valid, std::initializer_list<FieldCase> cases) {
  EXPECT_TRUE(T::fromJson(valid));
  EXPECT_FALSE(T::fromJson(nlohmann::json::array({valid})));
  std::vector<FieldCase> all(cases);
  for (const auto& field : valid.items()) {
    all.insert(all.end(), {{field.key(), std::nullopt, false}, {field.key(), nullptr, false}});
  }
  for (const auto& [key, value, decodes] : all) {
    nlohmann::json document = valid;
    document.erase(key);
    if (value) document[key] = *value;
    EXPECT_EQ(T::fromJson(document).has_value(), decodes) << document.dump();
  }
}

}  // namespace veldane

#endif  // VELDANE_STATE_TEST_SUPPORT_H_
