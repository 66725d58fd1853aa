#ifndef VELDANE_TEXT_CANONICAL_TEXT_H_
#define VELDANE_TEXT_CANONICAL_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// Unicode normalisation by the system's own tables, so that texts compare the
// way the system's file names and applications do.
namespace CanonicalText {

// The canonical composition (NFC) of UTF-8 text, the form in which "e" is no
// prefix of "é"; absent when `text` is not valid UTF-8.
std::optional<std::string> composed(std::string_view text);

}  // namespace CanonicalText
}  // namespace veldane

#endif  // VELDANE_TEXT_CANONICAL_TEXT_H_
