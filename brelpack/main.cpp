// brelpack: packs the files named on the command line into one VIV archive.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "archive_output.hpp"
#include "command_line.hpp"
#include "console_frame.hpp"
#include "file_reading.hpp"
#include "output_names.hpp"
#include "stop_signals.hpp"

using namespace brel;

namespace {

// Every subject is a path from the command line.
bool fail(std::string_view path, std::string_view reason) {
    report_failure(encoder_texts, command_line::shown(path), reason);
    return false;
}

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
        if (const io_error error = command_line::expand(argument, paths)) all_named = fail(argument, error.reason());
        for (std::string& path : paths) {
            std::string stored;
            if (const io_error error = command_line::stored_name(path, stored)) {
                all_named = fail(path, error.reason());
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
            fail(named.path, std::string("stored as given, but brelsplit will refuse to write it: ") + reason);
        }
    }
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
    std::vector<packed_entry> entries;
    entries.reserve(inputs.size());
    // A pipe (`<(command)`, /dev/stdin), a device or a file of /proc can't be measured without reading
    // it, nor read twice: it is read whole now and kept.
    std::vector<image_buffer> streamed(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::uint64_t size = 0;
        if (const io_error error = measure_input(inputs[i].path.c_str(), size, streamed[i])) {
            inputs_readable = fail(inputs[i].path, error.reason());
        }
        entries.push_back({inputs[i].stored, size});
    }
    if (!inputs_readable) return false;

    const archive_layout layout = lay_out_archive(entries);
    if (!layout.fits_format()) {
        return fail(archive_path, "the archive would take " + std::to_string(layout.archive_size) +
                                      " bytes, more than the " + std::to_string(largest_archive_size) +
                                      " a VIV archive can hold");
    }
    // The new archive's bytes, laid out in its own pages where the system allows: the header and the
    // directory first, then each input read once, straight into its place. Until finish() it stands
    // apart from whatever is at archive_path, which a failure leaves as it was.
    archive_output archive;
    // The new file goes before the failure is reported: on a full disk the room it holds is what the
    // report needs when standard error is a file there.
    const auto give_up = [&](std::string_view subject, const io_error& error) {
        archive.abandon();
        return fail(subject, error.reason());
    };
    if (const io_error error = archive.start(archive_path.c_str(), static_cast<std::size_t>(layout.archive_size))) {
        return give_up(archive_path, error);
    }
    const std::span<std::byte> bytes = archive.bytes();
    write_header_and_directory(bytes, entries, layout);

    // Second pass. The directory was laid out from the first pass, so an input whose size has changed
    // since is refused rather than stored torn.
    auto data_cursor = static_cast<std::size_t>(layout.data_start);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const packed_entry& entry = entries[i];
        const auto size = static_cast<std::size_t>(entry.size);
        if (streamed[i].allocated()) {
            std::copy_n(streamed[i].bytes().data(), size, bytes.subspan(data_cursor, size).data());
            streamed[i] = image_buffer();
        } else if (const io_error error = read_file_into(inputs[i].path.c_str(), bytes.subspan(data_cursor, size))) {
            return give_up(inputs[i].path, error);
        }
        archive.filled(data_cursor, size);
        data_cursor += size;
    }

    // Every input has been read and closed by now, so an archive path that is also an input has
    // already been stored with its previous contents.
    if (const io_error error = archive.finish()) return give_up(archive_path, error);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    print_banner(encoder_texts);
    const std::vector<std::string> arguments = command_line::arguments(argc, argv);
    if (arguments.size() < static_cast<std::size_t>(encoder_texts.minimum_arguments)) fail_usage();
    const bool packed = run_reporting_exceptions(encoder_texts, command_line::shown(arguments[0]), [&] {
        return pack(arguments[0], std::span(arguments).subspan(1));
    });
    return packed ? finish_run(encoder_texts) : finish_failed_run();
}
