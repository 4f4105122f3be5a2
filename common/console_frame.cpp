#include "console_frame.hpp"

#include <cstdio>
#include <cstdlib>

namespace brel {

namespace {

constexpr const char* credit_lines =
    "\n\tThe brel tools, free to use, copy and share"
    "\n\tE-Mail:   brel-tools@example.org"
    "\n\tHomepage: https://brel-tools.example.org/\n";

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
    std::printf("%s%s%s", program.title, credit_lines, program.usage);
}

void fail_usage() {
    std::printf("%s%s", too_few_arguments_message, prompt_message);
    wait_for_key();
    std::exit(1);
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

void report_failure(const program_texts& program, std::string_view subject, std::string_view reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", program.name, shown_on(stderr, subject).c_str(),
                 shown_on(stderr, reason).c_str());
}

int finish_run(const program_texts& program) {
    std::printf("%s%s", program.completion, prompt_message);
    wait_for_key();
    return 0;
}

int finish_failed_run() {
    std::printf("%s", prompt_message);
    wait_for_key();
    return failure_status;
}

}  // namespace brel
