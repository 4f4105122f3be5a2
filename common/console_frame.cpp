#include "console_frame.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brel {

namespace {

constexpr const char* credit_lines =
    "\n\tThe brel tools, free to use, copy and share"
    "\n\tE-Mail:   brel-tools@example.org"
    "\n\tHomepage: https://brel-tools.example.org/\n";

// The program of this run, named when standard output fails at the end; print_banner sets it.
const program_texts* running_program = &encoder_texts;

// Standard output off a terminal is written in blocks, the last of them only now, after the key wait,
// so a full disk or a pipe whose reader has gone may show only here. As with any other write, that is
// a failure of the run.
int status_after_output(int status) {
    errno = 0;
    const bool flush_failed = std::fflush(stdout) != 0;
    const int error = errno;
    if (!flush_failed && !std::ferror(stdout)) return status;
    // A block lost earlier leaves its error flag behind but not its reason.
    std::fprintf(stderr, "%s: standard output: %s\n", running_program->name,
                 std::strerror(flush_failed && error != 0 ? error : EIO));
    return failure_status;
}

}  // namespace

const program_texts encoder_texts = {
    "brelpack",
    "Tarvex VIV file encoder",
    "\nUsage: brelpack <filename>.viv file1.xxx file2.xxx ...\n\n",
    "\n\nEncoded!",
    2,
};

const program_texts decoder_texts = {
    "brelsplit",
    "Tarvex VIV file decoder",
    "\nUsage: brelsplit <filename>.viv\n\n",
    "\n\nDecoded!",
    1,
};

void print_banner(const program_texts& program) {
    set_up_standard_output();
    running_program = &program;
    std::printf("%s%s%s", program.title, credit_lines, program.usage);
}

void fail_usage() {
    std::printf("%s%s", too_few_arguments_message, prompt_message);
    wait_for_key();
    std::exit(status_after_output(1));
}

std::string shown_on(std::FILE* stream, std::string_view text) {
    std::string shown(text);
    if (obeys_control_bytes(stream)) {
        for (char& byte : shown) {
            if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) byte = '?';
        }
    }
    return shown;
}

std::string key_echo(std::string_view key) {
    std::string echo;
    for (const char byte : key) {
        if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) {
            echo += '^';
            echo += static_cast<char>(byte ^ 0x40);
        } else {
            echo += byte;
        }
    }
    return echo;
}

void report_failure(const program_texts& program, std::string_view subject, std::string_view reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", program.name, shown_on(stderr, subject).c_str(),
                 shown_on(stderr, reason).c_str());
}

int finish_run(const program_texts& program) {
    std::printf("%s%s", program.completion, prompt_message);
    wait_for_key();
    return status_after_output(0);
}

int finish_failed_run() {
    std::printf("%s", prompt_message);
    wait_for_key();
    return status_after_output(failure_status);
}

}  // namespace brel
