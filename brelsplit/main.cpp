// brelsplit: writes every entry of a VIV archive out as a file under its stored name.
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "command_line.hpp"
#include "console_frame.hpp"
#include "entry_output.hpp"
#include "file_reading.hpp"
#include "output_names.hpp"
#include "stop_signals.hpp"

using namespace brel;

namespace {

bool fail(std::string_view subject, std::string_view reason) {
    report_failure(decoder_texts, subject, reason);
    return false;
}

std::string describe_entry(const directory_entry& entry) {
    return "entry " + std::to_string(entry.number) + " \"" + std::string(entry.name) + "\": ";
}

enum class outcome { written, failed, archive_changed };

// Writes out one entry; reports what went wrong when it can't be written. The archive's path is given as
// messages show it; an entry's name is shown as stored.
outcome write_entry(const std::string& archive_path, std::span<const std::byte> image, entry_writer& output,
                    const directory_entry& entry) {
    if (const char* reason = refuse_output_name(entry.name)) {
        fail(archive_path, describe_entry(entry) + reason);
        return outcome::failed;
    }
    if (!data_inside(entry, image.size())) {
        fail(archive_path, describe_entry(entry) + "its data (offset " + std::to_string(entry.data_offset) +
                               ", size " + std::to_string(entry.data_size) + ") lies outside the archive, which is " +
                               std::to_string(image.size()) + " bytes long");
        return outcome::failed;
    }
    std::string path;
    if (const io_error error = command_line::path_of_stored_name(entry.name, path)) {
        fail(entry.name, error.reason());
        return outcome::failed;
    }
    const io_error error = output.write(path, image.subspan(entry.data_offset, entry.data_size));
    if (error.what() == io_error::kind::archive_changed) {
        fail(archive_path, error.reason());
        return outcome::archive_changed;
    }
    if (error.what() == io_error::kind::folder_missing) {
        const std::string folder = command_line::shown(std::string_view(path).substr(0, file_system::leaf_start(path)));
        fail(entry.name, "the folder \"" + folder + "\" does not exist, and brelsplit does not create folders");
        return outcome::failed;
    }
    if (error) {
        fail(entry.name, error.reason());
        return outcome::failed;
    }
    return outcome::written;
}

// A stretch of the directory read ahead of the writing, its names copied out of the image. Another
// program may cut the archive short while it is mapped, and what was lost then reads as zeros: one look
// at the archive after the stretch is read vouches for all of it, and from then on only writes read the
// image, each checked. A stretch ends after so many entries or bytes of names (or one longer name), so
// memory does not grow with the number of entries a header claims.
class directory_stretch {
public:
    // Reads the next stretch; none is left when it is empty.
    void read_from(directory_walker& directory) {
        entries_.clear();
        names_.clear();
        while (entries_.size() < most_entries && names_.size() < most_name_bytes) {
            const std::optional<directory_entry> entry = directory.next();
            if (!entry) break;
            names_ += entry->name;
            entries_.push_back(*entry);
        }
        std::size_t name_at = 0;
        for (directory_entry& entry : entries_) {
            entry.name = std::string_view(names_).substr(name_at, entry.name.size());
            name_at += entry.name.size();
        }
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
    const std::string archive_path = command_line::shown(path);
    archive_image archive;
    if (const io_error error = archive.open(path.c_str())) return fail(archive_path, error.reason());
    const std::span<const std::byte> bytes = archive.bytes();
    entry_writer output(archive);
    directory_walker directory(bytes);
    directory_stretch stretch;
    bool all_written = true;
    do {
        stretch.read_from(directory);
        if (!archive.still_whole()) return fail(archive_path, io_error(io_error::kind::archive_changed).reason());
        for (const directory_entry& entry : stretch.entries()) {
            // The name is an argument, never a format: a stored "%" is printed as it stands.
            std::string line = "\n";
            line += shown_on(stdout, entry.name);
            print_output(line);
            const outcome written = write_entry(archive_path, bytes, output, entry);
            // Once the archive has been cut short, what is left of it can't be trusted.
            if (written == outcome::archive_changed) return false;
            if (written == outcome::failed) all_written = false;
        }
    } while (!stretch.entries().empty());
    if (!directory.problem().empty()) return fail(archive_path, directory.problem());
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
    if (arguments.size() < static_cast<std::size_t>(decoder_texts.minimum_arguments)) fail_usage();
    warn_of_ignored_arguments(std::span(arguments).subspan(1));
    const bool unpacked = run_reporting_exceptions(decoder_texts, command_line::shown(arguments[0]),
                                                   [&] { return unpack(arguments[0]); });
    return unpacked ? finish_run(decoder_texts) : finish_failed_run();
}
