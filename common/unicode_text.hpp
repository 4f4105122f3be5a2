// UTF-16 and UTF-8, converted into each other without asking the system: Windows gives names as UTF-16,
// and the programs hold them as UTF-8. Nothing here does I/O.
#pragma once

#include <string>
#include <string_view>

namespace brel {

// A surrogate without its partner, which a Windows name may hold, takes the three bytes it would take
// were it a character (as WTF-8 keeps it), so that every name converts back to itself.
std::string utf8_from_utf16(std::u16string_view text);
// The reverse. A byte that starts no character of that form (the programs make none) becomes U+FFFD.
std::u16string utf16_from_utf8(std::string_view text);

}  // namespace brel
