// brelpack: packs the files named on the command line into one VIV archive.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "archive_format.hpp"
#include "archive_output.hpp"
#include "command_line.hpp"
#include "console_frame.hpp"
#include "file_system.hpp"
#include "input_files.hpp"
#include "output_names.hpp"
#include "stop_signals.hpp"

using namespace brel;

namespace {

constexpr program_texts encoder_texts = {
    "brelpack",
    "Tarvex VIV file encoder",
    "\nUsage: brelpack <filename>.viv file1.xxx file2.xxx ...\n\n",
    "\n\nEncoded!",
    2,
};

// Every subject is a path from the command line, shown as the system shows it.
bool fail_at(std::string_view path, std::string_view reason) { return fail(command_line::shown(path), reason); }

// A file to pack: the path it is read from, and the name it is stored under.
struct input {
    std::string path, stored;
};

// The files the arguments name. Every argument is tried, so that one run reports each pattern that
// matches no file and each name the archive can't store.
bool gather_inputs(std::span<const std::string> arguments, std::vector<input>& inputs) {
    bool all_named = true;
    for (const std::string& argument : arguments) {
        std::vector<std::string> paths;
        if (const io_error error = command_line::expand(argument, paths)) all_named = fail_at(argument, error.reason());
        for (std::string& path : paths) {
            std::string stored;
            if (const io_error error = command_line::stored_name(path, stored)) {
                all_named = fail_at(path, error.reason());
            } else {
                inputs.push_back({std::move(path), std::move(stored)});
            }
        }
    }
    return all_named;
}

// A name is stored as it was given, but one that brelsplit will refuse to write out (empty, absolute, with
// a ".." part) should not come as a surprise at unpacking time. A warning only: the run goes on.
void warn_of_names_brelsplit_refuses(std::span<const input> inputs) {
    for (const input& named : inputs) {
        if (const char* reason = refuse_output_name(named.stored)) {
            fail_at(named.path, std::string("stored as given, but brelsplit will refuse to write it: ") + reason);
        }
    }
}

std::string too_large_for_the_format(const archive_layout& layout) {
    return "the archive would take " + std::to_string(layout.archive_size) + " bytes, more than the " +
           std::to_string(largest_archive_size) + " a VIV archive can hold";
}

// Copies the input into the archive, where its bytes go next; a stream's size is known once it is read,
// and it may take no more than the archive has room for. A file copied in pieces and written over
// meanwhile, its length kept, is refused as one whose length changed: what was copied may be part old,
// part new. A small one is read with one call.
io_error copy_input(archive_output& archive, const input& named, packed_entry& entry, bool stream) {
    namespace fs = file_system;
    io_result<fs::owned_file> file = fs::open_for_reading(named.path.c_str());
    if (!file) return file.error();
    const int input = file->get();
    if (stream) {
        const std::uint64_t room = largest_archive_size - std::min(largest_archive_size, archive.position());
        if (const io_error error = archive.copy_stream(input, room, entry.size)) return error;
    } else if (entry.size < archive_output::small_input_size) {
        if (const io_error error = archive.copy_file(input, entry.size)) return error;
    } else {
        const io_result<fs::file_status> before = fs::look_up_open(input);
        if (!before) return before.error();
        if (const io_error error = archive.copy_file(input, entry.size)) return error;
        const io_result<fs::file_status> after = fs::look_up_open(input);
        if (!after) return after.error();
        if (!after->same_bytes_and_status_as(*before)) return io_error::kind::size_changed;
    }
    return file->close();
}

// Builds the archive from the files the arguments name and writes it. Reports what went wrong and
// returns false when the archive could not be made; whatever stood at archive_path then is left as it was.
bool pack(const std::string& archive_path, std::span<const std::string> arguments) {
    std::vector<input> inputs;
    bool inputs_readable = gather_inputs(arguments, inputs);
    warn_of_names_brelsplit_refuses(inputs);
    // First pass: measure every input. All of them are tried, so one run names every file that is
    // missing or a folder; nothing is written unless all can be read.
    stop_signals::take_over();
    // Past the file-size limit a write fails with an error, which is reported, rather than end the run.
    file_system::report_oversized_writes();
    std::vector<packed_entry> entries;
    entries.reserve(inputs.size());
    // A pipe (`<(command)`, /dev/stdin), a device or a file of /proc can't be measured without reading it.
    std::vector<bool> streams(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::uint64_t size = 0;
        bool stream = false;
        if (const io_error error = measure_input(inputs[i].path.c_str(), size, stream)) {
            inputs_readable = fail_at(inputs[i].path, error.reason());
        }
        entries.push_back({inputs[i].stored, size});
        streams[i] = stream;
    }
    if (!inputs_readable) return false;
    const bool any_stream = std::find(streams.begin(), streams.end(), true) != streams.end();

    archive_layout layout = lay_out_archive(entries);  // streams counted empty, until they are read
    if (!layout.fits_format()) return fail_at(archive_path, too_large_for_the_format(layout));
    // The new archive's bytes go out in order, each input read once, straight into its place. Until
    // finish() it stands apart from whatever is at archive_path, which a failure leaves as it was.
    archive_output archive;
    // The new file goes before the failure is reported: on a full disk the room it holds is what the
    // report needs when standard error is a file there.
    const auto give_up = [&](std::string_view subject, std::string_view reason) {
        archive.abandon();
        return fail_at(subject, reason);
    };
    if (const io_error error = archive.start(archive_path.c_str(), layout.archive_size)) {
        return give_up(archive_path, error.reason());
    }

    // The directory comes first and holds every size. Into a new file, room is left for it and it is
    // written once the streams have been read into their places; into a stream (a pipe), where nothing
    // can be written over, the streams are read into memory first.
    std::vector<image_buffer> held(inputs.size());
    if (any_stream && archive.streamed()) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (!streams[i]) continue;
            if (const io_error error = read_input_whole(inputs[i].path.c_str(), held[i])) {
                return give_up(inputs[i].path, error.reason());
            }
            entries[i].size = held[i].bytes().size();
        }
        layout = lay_out_archive(entries);
        if (!layout.fits_format()) return give_up(archive_path, too_large_for_the_format(layout));
    }
    const bool directory_last = any_stream && !archive.streamed();
    std::vector<std::byte> directory(static_cast<std::size_t>(layout.data_start));
    if (!directory_last) write_header_and_directory(directory, entries, layout);
    if (const io_error error = archive.write(directory)) return give_up(archive_path, error.reason());

    // Second pass. The directory was laid out from the first pass, so an input whose size has changed
    // since is refused rather than stored torn.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool in_memory = held[i].allocated();
        const io_error error = in_memory ? archive.write(held[i].bytes()) : copy_input(archive, inputs[i], entries[i], streams[i]);
        held[i] = image_buffer();
        if (error) return give_up(in_memory || error.met_in_writing() ? archive_path : inputs[i].path, error.reason());
    }
    if (directory_last) {
        layout = lay_out_archive(entries);
        if (!layout.fits_format()) return give_up(archive_path, too_large_for_the_format(layout));
        write_header_and_directory(directory, entries, layout);
        if (const io_error error = archive.write_over(directory, 0)) return give_up(archive_path, error.reason());
    }

    // Every input has been read and closed by now, so an archive path that is also an input has
    // already been stored with its previous contents.
    if (const io_error error = archive.finish()) return give_up(archive_path, error.reason());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    print_banner(encoder_texts);
    const std::vector<std::string> arguments = command_line::arguments(argc, argv);
    check_argument_count(arguments.size());
    const bool packed = run_reporting_exceptions(command_line::shown(arguments[0]), [&] {
        return pack(arguments[0], std::span(arguments).subspan(1));
    });
    return packed ? finish_run() : finish_failed_run();
}
