// brelsplit: writes every entry of a VIV archive out as a file under its stored name.
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "archive_reader.hpp"
#include "command_line.hpp"
#include "console_frame.hpp"
#include "entry_output.hpp"
#include "file_system.hpp"
#include "output_names.hpp"
#include "stop_signals.hpp"

using namespace brel;

namespace {

constexpr program_texts decoder_texts = {
    "brelsplit",
    "Tarvex VIV file decoder",
    "\nUsage: brelsplit <filename>.viv\n\n",
    "\n\nDecoded!",
    1,
};

std::string describe_entry(const directory_entry& entry) {
    return "entry " + std::to_string(entry.number) + " \"" + std::string(entry.name) + "\": ";
}

enum class outcome { written, failed, archive_changed };

bool report_outside(const std::string& archive_path, const directory_entry& entry, std::uint64_t archive_size) {
    return fail(archive_path, describe_entry(entry) + "its data (offset " + std::to_string(entry.data_offset) + ", size " +
                                  std::to_string(entry.data_size) + ") lies outside the archive, which is " +
                                  std::to_string(archive_size) + " bytes long");
}

// Writes out one entry; reports what went wrong when it can't be written. The archive's path is given as
// messages show it; an entry's name is shown as stored.
outcome write_entry(const std::string& archive_path, archive_reader& archive, entry_writer& output,
                    const directory_entry& entry) {
    if (const char* reason = refuse_output_name(entry.name)) {
        fail(archive_path, describe_entry(entry) + reason);
        return outcome::failed;
    }
    if (!data_inside(entry, archive.size())) {
        report_outside(archive_path, entry, archive.size());
        return outcome::failed;
    }
    std::string path;
    if (const io_error error = command_line::path_of_stored_name(entry.name, path)) {
        fail(entry.name, error.reason());
        return outcome::failed;
    }
    const io_error error = output.write(path, entry);
    if (error.what() == io_error::kind::archive_changed) {
        fail(archive_path, error.reason());
        return outcome::archive_changed;
    }
    // A stream that ended within the entry's data: its length is known now.
    if (error.what() == io_error::kind::past_the_end) {
        report_outside(archive_path, entry, archive.size());
        return outcome::failed;
    }
    if (error.what() == io_error::kind::folder_missing) {
        const std::string folder = command_line::shown(std::string_view(path).substr(0, leaf_start(path)));
        fail(entry.name, "the folder \"" + folder + "\" " + error.reason());
        return outcome::failed;
    }
    if (error) {
        fail(entry.name, error.reason());
        return outcome::failed;
    }
    return outcome::written;
}

// A stretch of the directory read ahead of the writing, its names copied out of what the archive holds in
// memory. Another program may change the archive while it is read: one look at the archive after the
// stretch is read vouches for all of it. A stretch ends after so many entries or bytes of names (or one
// longer name), so memory does not grow with the number of entries a header claims.
class directory_stretch {
public:
    // Reads the next stretch; none is left when it is empty.
    io_error read_from(archive_reader& archive) {
        entries_.clear();
        names_.clear();
        while (entries_.size() < most_entries && names_.size() < most_name_bytes) {
            std::optional<directory_entry> entry;
            if (const io_error error = archive.next_entry(entry)) return error;
            if (!entry) break;
            names_ += entry->name;
            entries_.push_back(*entry);
        }
        std::size_t name_at = 0;
        for (directory_entry& entry : entries_) {
            entry.name = std::string_view(names_).substr(name_at, entry.name.size());
            name_at += entry.name.size();
        }
        return {};
    }
    std::span<const directory_entry> entries() const { return entries_; }

private:
    static constexpr std::size_t most_entries = 256, most_name_bytes = 64 << 10;
    std::vector<directory_entry> entries_;
    std::string names_;
};

// Unpacks the archive; returns false when anything could not be read or written. Entries that can be
// written are, whatever happens to the others.
bool unpack(const std::string& path) {
    stop_signals::take_over();
    // Past the file-size limit a write fails with an error, which is reported, rather than end the run.
    file_system::report_oversized_writes();
    const std::string archive_path = command_line::shown(path);
    archive_reader archive;
    if (const io_error error = archive.open(path.c_str())) return fail(archive_path, error.reason());
    entry_writer output(archive);
    directory_stretch stretch;
    bool all_written = true;
    do {
        if (const io_error error = stretch.read_from(archive)) return fail(archive_path, error.reason());
        if (!archive.still_whole()) return fail(archive_path, io_error(io_error::kind::archive_changed).reason());
        for (const directory_entry& entry : stretch.entries()) {
            // The name is an argument, never a format: a stored "%" is printed as it stands.
            std::string line = "\n";
            line += shown_on(stdout, entry.name);
            print_output(line);
            const outcome written = write_entry(archive_path, archive, output, entry);
            // Once the archive has been cut short, what is left of it can't be trusted.
            if (written == outcome::archive_changed) return false;
            if (written == outcome::failed) all_written = false;
        }
    } while (!stretch.entries().empty());
    if (!archive.problem().empty()) return fail(archive_path, archive.problem());
    if (const io_error error = archive.finish()) return fail(archive_path, error.reason());
    return all_written;
}

// Only the first argument is unpacked; `brelsplit *.viv` should not look as if every archive had been.
void warn_of_ignored_arguments(std::span<const std::string> extra) {
    for (const std::string& argument : extra) {
        fail(command_line::shown(argument), "ignored: brelsplit unpacks only the first archive named");
    }
}

}  // namespace

int main(int argc, char** argv) {
    print_banner(decoder_texts);
    const std::vector<std::string> arguments = command_line::arguments(argc, argv);
    check_argument_count(arguments.size());
    warn_of_ignored_arguments(std::span(arguments).subspan(1));
    const bool unpacked = run_reporting_exceptions(command_line::shown(arguments[0]),
                                                   [&] { return unpack(arguments[0]); });
    return unpacked ? finish_run() : finish_failed_run();
}
