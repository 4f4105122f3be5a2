// A new file made in the folder of the name it is to take, and put at that name only once it is
// complete: until then it has no name at all where the system allows, else a short hidden one that a
// stop removes. What stood at the name stays as it was until the new file takes its place in one step.
#pragma once

#include <string>

#include "file_system.hpp"
#include "io_error.hpp"

namespace brel {

class new_file {
public:
    new_file() = default;
    // Abandons the file unless place() succeeded.
    ~new_file();
    new_file(const new_file&) = delete;
    new_file& operator=(const new_file&) = delete;

    // A new file for `name` in the folder (which must outlive this). `replaced` is what stands at name
    // now: a regular file's permissions and owner go over to the new one.
    io_error create(const file_system::folder& place, std::string name, const file_system::file_status& replaced);
    // The file's descriptor, for writing it; the file stays this one's.
    int fd() const { return file_.get(); }
    // Whether the file takes the place of another, whose bytes it must not lose in a crash: its own
    // bytes are then flushed to the disk before it takes the name, and are best sent there early.
    bool replacing() const { return replaced_.kind != file_system::file_status::nothing; }
    // What stood at the name when create() was called.
    const file_system::file_status& replaced() const { return replaced_; }
    // Closes the file and puts it at its name, in place of what stood there when create() was called;
    // name_changed, and nothing done, when another program has put something else there since.
    io_error place();
    // Closes and removes the file, unless place() succeeded; the destructor does too.
    void abandon();

private:
    bool hidden_name_is_ours() const;

    const file_system::folder* place_ = nullptr;
    std::string name_;
    std::string temporary_;  // the file's hidden name while it has one
    file_system::owned_file file_;
    file_system::file_status replaced_;
    file_identity identity_;  // the new file's own, once it has a hidden name
};

}  // namespace brel
