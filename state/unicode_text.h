#ifndef VELDANE_STATE_UNICODE_TEXT_H_
#define VELDANE_STATE_UNICODE_TEXT_H_

#include <string>
#include <string_view>

namespace veldane {

// Text comparison under Unicode canonical equivalence, without case folding:
// a precomposed "é" equals "e" followed by a combining acute accent. Texts
// that are not valid UTF-8 compare by their bytes.
namespace UnicodeText {

bool equal(std::string_view a, std::string_view b);

// True when `text` begins with `prefix`, both taken in canonical form.
bool hasPrefix(std::string_view text, std::string_view prefix);

}  // namespace UnicodeText
}  // namespace veldane

#endif  // VELDANE_STATE_UNICODE_TEXT_H_
