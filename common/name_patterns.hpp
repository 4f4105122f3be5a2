// Wildcards in file names, as Windows programs take them, whose shells pass them on: '*' stands for
// any run of characters, '?' for one. Nothing here does I/O: the caller lists the folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brel {

bool has_wildcards(std::string_view text);

// A name found in a folder, in UTF-8, and the key it is matched and ordered by: the name in capitals
// as the system makes them, so that case counts as little as it does for the file system.
struct listed_name {
    std::string name, key;
};

// Whether the key matches the pattern (a key too), ASCII letters of either case alike. A final ".*"
// also matches a key with no dot, as on the Windows command line: "*.*" is every name.
bool matches_pattern(std::string_view pattern, std::string_view key);

// The names whose keys match, ordered by key, then, where keys are the same, by name (both byte by
// byte, which in UTF-8 is the order of the characters' numbers).
std::vector<std::string> names_matching(std::string_view pattern, std::vector<listed_name> listed);

}  // namespace brel
