#ifndef VELDANE_DEMO_INFO_PLIST_H_
#define VELDANE_DEMO_INFO_PLIST_H_

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

namespace veldane {

// The Info.plist of a bundle that a test, a benchmark or the demo makes:
// demo/Info.plist.in, the one template (the README shows it filled in), with
// `identifier` and `executable` put in. Empty when the template cannot be
// read. Link veldane_info_plist to have its path.
inline std::string bundleInfoPlist(std::string_view identifier, std::string_view executable) {
  std::ifstream file(VELDANE_INFO_PLIST_TEMPLATE, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(file), {}};
  for (const auto& [placeholder, value] :
       {std::pair{std::string_view("@IDENTIFIER@"), identifier},
        std::pair{std::string_view("@EXECUTABLE@"), executable}}) {
    const size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
  }
  return text;
}

}  // namespace veldane

#endif  // VELDANE_DEMO_INFO_PLIST_H_
