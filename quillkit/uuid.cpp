#include <algorithm>
#include <cctype>

#include "quillkit/types.hpp"

namespace quillkit {

bool same_uuid(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

}  // namespace quillkit
