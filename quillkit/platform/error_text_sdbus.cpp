#include <sdbus-c++/Error.h>

#include "quillkit/platform/error_text.hpp"

namespace quillkit::platform {

std::string bus_error_text(std::string_view context, const sdbus::Error& error) {
  std::string text = context.empty() ? std::string() : std::string(context) + ": ";
  return text + error.getName() + ": " + error.getMessage();
}

}  // namespace quillkit::platform
