#include "new_file.hpp"

#include <cerrno>
#include <random>
#include <utility>

#include "stop_signals.hpp"

namespace brel {

namespace {

namespace fs = file_system;

// A hidden name, short so that it fits wherever the name it stands in for fits, and unlikely to be
// taken. Its length does not depend on the name it stands in for.
std::string temporary_name() {
    static std::mt19937_64 generator{std::random_device{}()};
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".brel-";
    for (int i = 0; i < 8; ++i) name += letters[generator() % (sizeof letters - 1)];
    return name;
}

// Tries hidden names until `give_name` takes one that is free; from then on a stop removes it. A stop
// waits while a name is tried, so that it never removes a file of that name that is not ours. The
// file's identity tells later whether the name still leads to it.
template <typename Naming>
io_error name_hidden(const fs::folder& place, fs::owned_file& file, std::string& name, file_identity& identity,
                     Naming give_name) {
    for (int attempt = 0;; ++attempt) {
        name = temporary_name();
        stop_signals::hold naming;
        const io_error error = give_name(name.c_str());
        if (!error) {
            stop_signals::remove_on_stop(place, name.c_str(), &file);
            const io_result<fs::file_status> status = fs::look_up_open(file.get());
            if (status) {
                identity = status->identity;
                return {};
            }
            fs::remove_file(place, name.c_str());
            stop_signals::keep_on_stop();
            name.clear();
            return status.error();
        }
        if (!error.is(EEXIST) || attempt == 100) {
            name.clear();
            return error;
        }
    }
}

}  // namespace

new_file::~new_file() { abandon(); }

bool new_file::hidden_name_is_ours() const {
    const io_result<fs::file_status> standing = fs::look_up_in(*place_, temporary_.c_str());
    return standing && standing->kind == fs::file_status::regular_file && standing->identity == identity_;
}

void new_file::abandon() {
    file_.close();
    if (temporary_.empty()) return;
    // A stop waits, so that it never removes what another program may have put at the hidden name.
    stop_signals::hold removing;
    if (hidden_name_is_ours()) fs::remove_file(*place_, temporary_.c_str());
    stop_signals::keep_on_stop();
    temporary_.clear();
}

io_error new_file::create(const fs::folder& place, std::string name, const fs::file_status& replaced) {
    place_ = &place;
    name_ = std::move(name);
    replaced_ = replaced;
    io_result<fs::owned_file> unnamed = fs::create_unnamed(place);
    io_error error = unnamed.error();
    if (unnamed) {
        file_ = std::move(*unnamed);
    } else if (error.what() == io_error::kind::unsupported) {
        error = name_hidden(place, file_, temporary_, identity_, [&](const char* hidden) {
            io_result<fs::owned_file> made = fs::create_new(place, hidden);
            if (!made) return made.error();
            file_ = std::move(*made);
            return io_error();
        });
    }
    if (error) return error;
    if (replaced.kind == fs::file_status::regular_file) return fs::carry_over(file_.get(), place, name_.c_str(), replaced);
    return {};
}

io_error new_file::place() {
    // The new bytes reach the disk before they take the old ones' name, so that a crash at any moment
    // finds the old file or the whole new one. A name that was free needs no such care.
    if (replacing()) {
        if (const io_error error = fs::flush_data(file_.get())) return error;
    }
    if (temporary_.empty() && !replacing()) {
        // Nothing stood at the name: the file takes it directly, and only if it is still free.
        io_error error = fs::link_unnamed(file_.get(), *place_, name_.c_str());
        if (error.is(EEXIST)) return io_error::kind::name_changed;
        if (!error) {
            error = file_.close();
            if (error) fs::remove_file(*place_, name_.c_str());
        }
        return error;
    }
    if (temporary_.empty()) {
        // A link can't replace what stands at a name; a rename can, in one step, once the file has a
        // hidden name of its own.
        if (const io_error error = name_hidden(*place_, file_, temporary_, identity_,
                                               [&](const char* hidden) { return fs::link_unnamed(file_.get(), *place_, hidden); })) {
            return error;
        }
    }
    if (const io_error error = file_.close()) return error;
    stop_signals::remove_on_stop(*place_, temporary_.c_str(), nullptr);
    // A stop waits for the step and what it takes to undo it, should the name hold something else now.
    stop_signals::hold moving;
    const io_error error = fs::move_over(*place_, temporary_.c_str(), name_.c_str(), replaced_);
    // After a swap the hidden name holds the old file until it is removed: it is no longer ours to remove.
    if (!error || !hidden_name_is_ours()) {
        stop_signals::keep_on_stop();
        temporary_.clear();
    }
    return error;
}

}  // namespace brel
