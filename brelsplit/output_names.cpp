#include "output_names.hpp"

#include <algorithm>

namespace brel {

const char* refuse_output_name(std::string_view name) {
    if (name.empty()) return "the name is empty";
    if (name.front() == '/') return "an absolute name would be written outside the working folder";
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        if (name.substr(start, end - start) == "..") {
            return "a name with a \"..\" part could be written outside the working folder";
        }
        start = end + 1;
    }
    return nullptr;
}

}  // namespace brel
