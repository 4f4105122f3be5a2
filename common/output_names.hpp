// Which stored names brelsplit may use as output paths: none that could put a file outside the
// working folder, or that the system would take for something other than a file in it. brelpack warns
// of the names it stores that these rules refuse.
#pragma once

#include <string_view>

#include "path_syntax.hpp"

namespace brel {

// Why the name can't be written, or nullptr when it is a path below the working folder.
const char* refuse_output_name(std::string_view name, name_rules rules = native_name_rules);

}  // namespace brel
