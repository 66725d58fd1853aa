#include "platform/same_path.h"

#include "state/unicode_text.h"

namespace veldane {

// The file systems take the Unicode forms of a name as one name.
bool samePath(std::string_view a, std::string_view b) { return UnicodeText::equal(a, b); }

}  // namespace veldane
