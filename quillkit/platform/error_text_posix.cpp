// System error texts; apart from the bus errors, so that a unit without D-Bus
// can use them.
#include <system_error>

#include "quillkit/platform/error_text.hpp"

namespace quillkit::platform {

std::string system_error_text(std::string_view context, int error) {
  return std::string(context) + ": " + std::system_category().message(error);
}

}  // namespace quillkit::platform
