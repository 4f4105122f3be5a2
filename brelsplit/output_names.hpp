// Which stored names brelsplit may use as output paths: none that could put a file outside the
// working folder.
#pragma once

#include <string_view>

namespace brel {

// Why the name can't be written, or nullptr when it is a path below the working folder.
const char* refuse_output_name(std::string_view name);

}  // namespace brel
