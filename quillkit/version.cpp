#include "quillkit/types.hpp"

namespace quillkit {

const double quillkitVersionNumber = 1.0;
const char quillkitVersionString[] = "@(#)PROGRAM:quillkit  PROJECT:quillkit-1";

}  // namespace quillkit
