#include "console_frame.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brel {

namespace {

constexpr const char* credit_lines =
    "\n\tThe brel tools " BREL_VERSION ", free to use, copy and share"
    "\n\tE-Mail:   brel-tools@example.org"
    "\n\tHomepage: https://brel-tools.example.org/\n";

// The program of this run, whose texts every message takes; print_banner sets it.
constexpr program_texts no_program_yet = {"brel", "", "", "", 0};
const program_texts* running_program = &no_program_yet;

// Whether the last byte written to standard output was something other than a line feed.
bool output_line_open = false;

// The reason the first write of standard output's buffer failed; 0 while none has.
int output_error = 0;

void flush_output() {
    errno = 0;
    if (std::fflush(stdout) != 0 && output_error == 0) output_error = errno != 0 ? errno : EIO;
}

// Standard output off a terminal is written in blocks, the last of them just before the key wait, so a
// full disk or a pipe whose reader has gone may show only then. As with any other write, that is a
// failure of the run, reported once the wait is over.
int status_after_output(int status) {
    // A block lost to a write of stdio's own leaves its error flag behind but not its reason.
    if (output_error == 0 && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "%s: standard output: %s\n", running_program->name,
                 std::strerror(output_error != 0 ? output_error : EIO));
    return failure_status;
}

int end_run(int status) {
    flush_output();
    wait_for_key();
    return status_after_output(status);
}

}  // namespace

void print_output(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty()) output_line_open = text.back() != '\n';
}

void print_banner(const program_texts& program) {
    set_up_standard_output();
    running_program = &program;
    print_output(std::string(program.title) + credit_lines + program.usage);
}

void check_argument_count(std::size_t count) {
    if (count < static_cast<std::size_t>(running_program->minimum_arguments)) fail_usage();
}

void fail_usage() {
    print_output(std::string(too_few_arguments_message) + prompt_message);
    std::exit(end_run(1));
}

std::string shown_on(std::FILE* stream, std::string_view text) {
    return obeys_control_bytes(stream) ? without_terminal_controls(text) : std::string(text);
}

bool fail(std::string_view subject, std::string_view reason) {
    flush_output();
    // On a terminal that standard output shares, an error after an entry's name would go on the name's
    // line. The line feed that ends it goes to standard error, so standard output's bytes stay the same.
    const bool shared = errors_share_output_terminal();
    std::fprintf(stderr, "%s%s: %s: %s\n", shared && output_line_open ? "\n" : "", running_program->name,
                 shown_on(stderr, subject).c_str(), shown_on(stderr, reason).c_str());
    if (shared) output_line_open = false;
    return false;
}

int finish_run() {
    print_output(std::string(running_program->completion) + prompt_message);
    return end_run(0);
}

int finish_failed_run() {
    print_output(prompt_message);
    return end_run(failure_status);
}

}  // namespace brel
