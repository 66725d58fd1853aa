#include "platform/same_path.h"

namespace veldane {

// File names are bytes here.
bool samePath(std::string_view a, std::string_view b) { return a == b; }

}  // namespace veldane
