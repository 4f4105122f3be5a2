// How text is shown on a terminal: pure functions of the bytes, with no I/O.
#pragma once

#include <string>
#include <string_view>

namespace brel {

// The text with each control character shown as '?': a byte below 0x20, DEL, a byte from 0x80 to 0x9F
// that is not part of a UTF-8 character, and the UTF-8 form of U+0080 to U+009F (one '?' for its two
// bytes). Every other byte, UTF-8 or not, stays as it is.
std::string without_terminal_controls(std::string_view text);

// What the key wait echoes for the bytes of a key: printable characters as they are, each control byte
// in caret notation (^C for Ctrl+C, ^? for DEL), so that no key the user presses acts on the terminal.
std::string key_echo(std::string_view key);

}  // namespace brel
