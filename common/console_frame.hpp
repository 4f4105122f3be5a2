// What the user sees of a run: the banner, the usage failure, the closing prompt and the key wait.
#pragma once

#include <cstddef>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "io_error.hpp"
#include "terminal_text.hpp"

namespace brel {

struct program_texts {
    const char* name;        // the prefix of error lines
    const char* title;
    const char* usage;
    const char* completion;
    int minimum_arguments;   // after the program name
};

inline constexpr const char* too_few_arguments_message = "\nNot enought parameters";
inline constexpr const char* prompt_message = "\nPress any key...";

// Status of a run that reported a failure other than too few arguments.
inline constexpr int failure_status = 2;

// Sets up standard output, then prints the title, the credit lines and the usage text. The program's
// texts, which must outlive the run, are the ones every message below takes.
void print_banner(const program_texts& program);

// Ends the run as fail_usage() does when `count` arguments (after the program name) are too few.
void check_argument_count(std::size_t count);

// Writes text to standard output. Everything the programs print there goes through here, so that
// report_failure knows where the last line left off.
void print_output(std::string_view text);

// The three ends of a run below write out what standard output still holds before the key wait, so that
// a file or a pipe has all the run printed while it waits. When that, or an earlier write to standard
// output, failed, "program: standard output: reason" goes to standard error once the wait is over, and
// the exit status is failure_status instead of the usual one.

// Too few arguments: the message, the prompt, the key wait, then exit status 1.
[[noreturn]] void fail_usage();

// "program: subject: reason" on standard error, after what standard output holds so far. When both are
// the same terminal and standard output's last line is still open, the error starts a line of its own.
// Returns false, for the caller to return in turn: `return fail(path, error.reason());`.
bool fail(std::string_view subject, std::string_view reason);

// Runs the work of a run, which returns whether it went well. Memory it could not get, or any other
// exception it lets out, ends the work as a failure of `subject`, reported once the work's own memory
// has been given back: the run then ends as any failed one does, never with an abort.
template <typename Work>
bool run_reporting_exceptions(std::string_view subject, Work work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return fail(subject, io_error(io_error::kind::out_of_memory).reason());
    } catch (const std::exception& error) {
        return fail(subject, error.what());
    }
}

// Text from an archive as it may be shown on `stream`: unchanged, unless the stream is a terminal that
// takes control bytes as commands; there it is without_terminal_controls(text), so that a name can't
// clear the screen or retitle the window.
std::string shown_on(std::FILE* stream, std::string_view text);
// The end of a completed run: completion message, prompt, key wait. Returns exit status 0.
int finish_run();

// The end of a run that reported a failure: prompt and key wait, no completion message.
// Returns failure_status.
int finish_failed_run();

// Platform part, one file per platform.

// Unbuffered when standard output is a console, so every message is on screen at once;
// otherwise buffered in 4096-byte blocks and written out when the program ends.
void set_up_standard_output();

// Waits for one key press at the console (never standard input), echoes it there and ends the line.
// Keys typed before the wait are dropped: the key is one pressed once the prompt shows. When standard
// output is not that console, the prompt is written there first, so the wait can be seen.
// Returns at once when there is no console, or when the process runs in the background of its terminal.
void wait_for_key();

// Whether the stream is a terminal that acts on control bytes in the text it is given.
bool obeys_control_bytes(std::FILE* stream);

// Whether standard output and standard error are the same terminal, so their lines share one screen.
bool errors_share_output_terminal();

}  // namespace brel
