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

// The program of this run, named when standard output fails at the end; print_banner sets it.
const program_texts* running_program = &encoder_texts;

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

void print_output(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty()) output_line_open = text.back() != '\n';
}

void print_banner(const program_texts& program) {
    set_up_standard_output();
    running_program = &program;
    print_output(std::string(program.title) + credit_lines + program.usage);
}

void fail_usage() {
    print_output(std::string(too_few_arguments_message) + prompt_message);
    std::exit(end_run(1));
}

namespace {

// The length of the well-formed UTF-8 character of two bytes or more that text starts with (no overlong
// form, no surrogate, nothing past U+10FFFF), or 0 when it starts with none.
std::size_t utf8_length(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // what the second byte may be
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || text.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string without_terminal_controls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t start = 0; start < text.size();) {
        const auto lead = static_cast<unsigned char>(text[start]);
        if (const std::size_t length = utf8_length(text.substr(start))) {
            // C2 80 to C2 9F are the C1 controls, U+0080 to U+009F.
            const bool control = lead == 0xC2 && static_cast<unsigned char>(text[start + 1]) <= 0x9F;
            shown += control ? std::string_view("?") : text.substr(start, length);
            start += length;
            continue;
        }
        // A byte on its own: the C0 controls, DEL, and the C1 controls of 8-bit character sets, which
        // many terminals act on in UTF-8 as well (0x9B starts a command like ESC [). Any other byte that
        // is not UTF-8 goes out as it is: it is a letter in 8-bit sets, and a UTF-8 terminal shows it
        // as one unknown character.
        const bool control = lead < 0x20 || lead == 0x7F || (lead >= 0x80 && lead <= 0x9F);
        shown += control ? '?' : text[start];
        ++start;
    }
    return shown;
}

std::string shown_on(std::FILE* stream, std::string_view text) {
    return obeys_control_bytes(stream) ? without_terminal_controls(text) : std::string(text);
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
    flush_output();
    // On a terminal that standard output shares, an error after an entry's name would go on the name's
    // line. The line feed that ends it goes to standard error, so standard output's bytes stay the same.
    const bool shared = errors_share_output_terminal();
    std::fprintf(stderr, "%s%s: %s: %s\n", shared && output_line_open ? "\n" : "", program.name,
                 shown_on(stderr, subject).c_str(), shown_on(stderr, reason).c_str());
    if (shared) output_line_open = false;
}

int finish_run(const program_texts& program) {
    print_output(std::string(program.completion) + prompt_message);
    return end_run(0);
}

int finish_failed_run() {
    print_output(prompt_message);
    return end_run(failure_status);
}

}  // namespace brel
