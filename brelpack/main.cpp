// brelpack: packs the files named on the command line into one VIV archive.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "archive_output.hpp"
#include "console_frame.hpp"
#include "file_reading.hpp"
#include "output_names.hpp"
#include "stop_signals.hpp"

using namespace brel;

namespace {

bool fail(std::string_view subject, std::string_view reason) {
    report_failure(encoder_texts, subject, reason);
    return false;
}

// A name is stored as it was given, but one that brelsplit will refuse to write out (empty, absolute, with
// a ".." part) should not come as a surprise at unpacking time. A warning only: the run goes on.
void warn_of_names_brelsplit_refuses(std::span<char* const> inputs) {
    for (const char* input : inputs) {
        if (const char* reason = refuse_output_name(input)) {
            report_failure(encoder_texts, input,
                           std::string("stored as given, but brelsplit will refuse to write it: ") + reason);
        }
    }
}

// Builds the archive from the inputs and writes it. Reports what went wrong and returns false when the
// archive could not be made; whatever stood at archive_path then is left as it was.
bool pack(const char* archive_path, std::span<char* const> inputs) {
    // First pass: measure every input. All of them are tried, so one run names every file that is
    // missing or a folder; nothing is written unless all can be read.
    stop_signals::take_over();
    std::vector<packed_entry> entries;
    entries.reserve(inputs.size());
    // A pipe (`<(command)`, /dev/stdin), a device or a file of /proc can't be measured without reading
    // it, nor read twice: it is read whole now and kept.
    std::vector<image_buffer> streamed(inputs.size());
    bool inputs_readable = true;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::uint64_t size = 0;
        if (const io_error error = measure_input(inputs[i], size, streamed[i])) {
            inputs_readable = fail(inputs[i], error.reason());
        }
        entries.push_back({inputs[i], size});
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
    if (const io_error error = archive.start(archive_path, static_cast<std::size_t>(layout.archive_size))) {
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
        } else if (const io_error error = read_file_into(entry.name.data(), bytes.subspan(data_cursor, size))) {
            return give_up(entry.name, error);
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
    if (argc - 1 < encoder_texts.minimum_arguments) fail_usage();
    const std::span<char* const> inputs(argv + 2, argv + argc);
    warn_of_names_brelsplit_refuses(inputs);
    const bool packed = run_reporting_exceptions(encoder_texts, argv[1], [&] { return pack(argv[1], inputs); });
    return packed ? finish_run(encoder_texts) : finish_failed_run();
}
