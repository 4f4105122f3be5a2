// The console on POSIX systems: standard output buffering and the key wait on the controlling terminal.
#include "console_frame.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace brel {

namespace {

// A terminal sends the bytes of one key press together; anything later than this is another key.
constexpr int sequence_gap_ms = 100;
constexpr unsigned char escape = 0x1B;

// The controlling terminal, opened on first use and kept open for the rest of the run.
int terminal = -1;
bool terminal_tried = false;

// The terminal's own mode while we hold it in raw mode; read by the signal handler.
termios saved_mode;
volatile std::sig_atomic_t mode_switched = 0;

void restore_mode() {
    if (mode_switched) {
        tcsetattr(terminal, TCSANOW, &saved_mode);
        mode_switched = 0;
    }
}

// Ending the process with the terminal still raw would leave the user's shell without echo or line
// editing, so the signals that end a waiting process put the mode back first and then take their
// usual course.
constexpr int ending_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

extern "C" void restore_mode_and_end(int signal_number) {
    restore_mode();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

class ending_signals_guard {
public:
    ending_signals_guard() {
        struct sigaction ours {};
        ours.sa_handler = restore_mode_and_end;
        sigemptyset(&ours.sa_mask);
        for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
            sigaction(ending_signals[i], nullptr, &previous_[i]);
            // A signal the caller chose to ignore (nohup, for one) stays ignored.
            if (previous_[i].sa_handler != SIG_IGN) sigaction(ending_signals[i], &ours, nullptr);
        }
    }
    ~ending_signals_guard() {
        for (std::size_t i = 0; i < std::size(ending_signals); ++i) sigaction(ending_signals[i], &previous_[i], nullptr);
    }
    ending_signals_guard(const ending_signals_guard&) = delete;
    ending_signals_guard& operator=(const ending_signals_guard&) = delete;

private:
    struct sigaction previous_[std::size(ending_signals)];
};

void write_to_terminal(std::string_view text) {
    ssize_t written;
    do written = write(terminal, text.data(), text.size());
    while (written < 0 && errno == EINTR);
}

// One byte from the terminal, or -1 when the read failed or, with a timeout, nothing came in time.
int read_byte(int timeout_ms) {
    if (timeout_ms >= 0) {
        pollfd ready{terminal, POLLIN, 0};
        int count;
        do count = poll(&ready, 1, timeout_ms);
        while (count < 0 && errno == EINTR);
        if (count <= 0) return -1;
    }
    unsigned char byte;
    ssize_t count;
    do count = read(terminal, &byte, 1);
    while (count < 0 && errno == EINTR);
    return count == 1 ? byte : -1;
}

// The rest of an escape sequence (cursor, function and editing keys, Alt with a key), so that none of
// it is left behind for the shell to read.
void read_escape_sequence(std::string& key) {
    int next = read_byte(sequence_gap_ms);
    if (next < 0) return;  // the Escape key on its own
    key += static_cast<char>(next);
    if (next == '[') {
        // Control sequence: parameter and intermediate bytes, ended by a byte from 0x40 to 0x7E.
        // The Linux console sends its first function keys as ESC [ [ letter.
        next = read_byte(sequence_gap_ms);
        if (next == '[') {
            key += static_cast<char>(next);
            next = read_byte(sequence_gap_ms);
        }
        while (next >= 0 && key.size() < 32) {
            key += static_cast<char>(next);
            if (next >= 0x40 && next <= 0x7E) return;
            next = read_byte(sequence_gap_ms);
        }
    } else if (next == 'O') {
        // Single shift: optional parameters, then one final byte.
        do {
            next = read_byte(sequence_gap_ms);
            if (next >= 0) key += static_cast<char>(next);
        } while (next >= 0x30 && next <= 0x3F && key.size() < 32);
    }
}

// The continuation bytes of a character that takes several bytes in UTF-8.
void read_character_tail(std::string& key) {
    const auto lead = static_cast<unsigned char>(key[0]);
    const int tail = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    for (int i = 0; i < tail; ++i) {
        const int next = read_byte(sequence_gap_ms);
        if (next < 0) return;
        key += static_cast<char>(next);
        if ((next & 0xC0) != 0x80) return;
    }
}

// The bytes of one key press; empty when reading failed (end of file or error).
std::string read_key() {
    const int first = read_byte(-1);
    if (first < 0) return {};
    std::string key(1, static_cast<char>(first));
    if (first == escape) {
        read_escape_sequence(key);
    } else if (first >= 0xC2 && first <= 0xF4) {
        read_character_tail(key);
    }
    return key;
}

}  // namespace

void set_up_standard_output() {
    static char block[4096];
    if (isatty(STDOUT_FILENO)) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, block, _IOFBF, sizeof block);
    }
}

bool errors_share_output_terminal() {
    static const bool shared = [] {
        struct stat output, errors;
        return isatty(STDOUT_FILENO) && isatty(STDERR_FILENO) && fstat(STDOUT_FILENO, &output) == 0 &&
               fstat(STDERR_FILENO, &errors) == 0 && output.st_rdev == errors.st_rdev;
    }();
    return shared;
}

bool obeys_control_bytes(std::FILE* stream) {
    // Asked once per stream: brelsplit asks for every entry it prints.
    static const bool output_is_terminal = isatty(STDOUT_FILENO) != 0;
    static const bool error_is_terminal = isatty(STDERR_FILENO) != 0;
    if (stream == stdout) return output_is_terminal;
    if (stream == stderr) return error_is_terminal;
    return isatty(fileno(stream)) != 0;
}

void wait_for_key() {
    if (!terminal_tried) {
        terminal_tried = true;
        terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    // A run in the background of its terminal (`brelpack a.viv f &`, or under timeout(1), which gives its
    // command a process group of its own) is not the one the user types at. Setting the terminal's mode,
    // dropping its input or, with TOSTOP, writing there would stop it with SIGTTOU, so it leaves the
    // terminal alone and ends as it would without one.
    if (terminal < 0 || tcgetpgrp(terminal) != getpgrp() || tcgetattr(terminal, &saved_mode) != 0) return;

    // The prompt went to standard output; when that is a file, a pipe or another terminal (standard output
    // is this terminal only when it belongs to our session), the user here would see no sign of the wait.
    if (tcgetsid(STDOUT_FILENO) != getsid(0)) write_to_terminal(prompt_message);

    std::string key;
    {
        ending_signals_guard guard;
        termios raw = saved_mode;
        // No line buffering, no echo, no signal, flow-control or literal-next keys, no newline
        // translation: every key arrives as the bytes it sends, Ctrl+C included.
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        mode_switched = 1;
        if (tcsetattr(terminal, TCSANOW, &raw) == 0) {
            // What was typed while the run was busy was meant for what comes after it (a command line for
            // the shell, say), not as the answer to a prompt not yet shown: dropped, the wait takes a key
            // pressed from now on.
            tcflush(terminal, TCIFLUSH);
            key = read_key();
        }
        restore_mode();
    }

    // A key that sends an escape sequence is not echoed: it has no character to show, and its bytes would
    // be taken by the terminal as a command. Nor is a lone byte from 0x80 to 0x9F, a control in the 8-bit
    // character sets (0x9B starts a command on the Linux console).
    if (key.empty()) return;
    const auto lead = static_cast<unsigned char>(key[0]);
    if (lead != escape && (lead < 0x80 || lead > 0x9F)) write_to_terminal(key_echo(key));
    // The prompt's line ends here, so that what the shell prints next starts a line of its own; a line
    // feed alone where the terminal's mode adds the carriage return.
    const bool adds_return = (saved_mode.c_oflag & OPOST) && (saved_mode.c_oflag & ONLCR);
    write_to_terminal(adds_return ? "\n" : "\r\n");
}

}  // namespace brel
