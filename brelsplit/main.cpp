// brelsplit: writes every entry of a VIV archive out as a file under its stored name.
#include <cstdio>
#include <string>

#include "archive_format.hpp"
#include "console_frame.hpp"
#include "file_access.hpp"
#include "output_names.hpp"

using namespace brel;

namespace {

bool fail(std::string_view subject, std::string_view reason) {
    report_failure(decoder_texts, subject, reason);
    return false;
}

std::string describe_entry(const directory_entry& entry) {
    return "entry " + std::to_string(entry.number) + " \"" + std::string(entry.name) + "\": ";
}

// Writes out one entry; reports and returns false when it can't be written.
bool write_entry(const char* archive_path, std::span<const std::byte> image, const directory_entry& entry) {
    if (const char* reason = refuse_output_name(entry.name)) {
        return fail(archive_path, describe_entry(entry) + reason);
    }
    if (!data_inside(entry, image.size())) {
        return fail(archive_path, describe_entry(entry) + "its data (offset " + std::to_string(entry.data_offset) +
                                      ", size " + std::to_string(entry.data_size) +
                                      ") lies outside the archive, which is " + std::to_string(image.size()) +
                                      " bytes long");
    }
    // The name is followed by its 0 terminator in the image, so it serves as a C string as it stands.
    // A link already at that name is replaced, not followed: it might lead out of the working folder.
    if (const int error = write_file(entry.name.data(), image.subspan(entry.data_offset, entry.data_size))) {
        return fail(entry.name, describe_error(error));
    }
    return true;
}

// Unpacks the archive; returns false when anything could not be read or written. Entries that can be
// written are, whatever happens to the others.
bool unpack(const char* archive_path) {
    image_buffer image;
    if (const int error = read_whole_file(archive_path, image)) return fail(archive_path, describe_error(error));
    const std::span<const std::byte> bytes = image.bytes();

    const directory_listing listing = walk_directory(bytes);
    bool all_written = true;
    for (const directory_entry& entry : listing.entries) {
        // The name is an argument, never the format: a stored "%" is printed as it stands.
        std::printf("\n%s", shown_on(stdout, entry.name).c_str());
        if (!write_entry(archive_path, bytes, entry)) all_written = false;
    }
    if (!listing.problem.empty()) return fail(archive_path, listing.problem);
    return all_written;
}

}  // namespace

int main(int argc, char** argv) {
    print_banner(decoder_texts);
    if (argc - 1 < decoder_texts.minimum_arguments) fail_usage();
    return unpack(argv[1]) ? finish_run(decoder_texts) : finish_failed_run();
}
