// What the tests share: running the programs as a user would, scratch folders, file helpers and
// archives made to order.
//
// The programs run: in their own session with no controlling terminal (so the key
// wait returns at once), in a folder of the test's, with standard output and error captured.
#pragma once

#include <sys/resource.h>
#include <termios.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace brel_test {

struct run_result {
    std::string out;
    std::string err;
    int status = -1;   // exit status, or -1 when ended by a signal
};

struct run_options {
    rlim_t file_size = RLIM_INFINITY;      // as ulimit -f sets it, in bytes
    rlim_t address_space = RLIM_INFINITY;
    std::vector<std::string> environment = {};  // NAME=value, added to the test's own
};

// Runs program with the arguments that follow its name.
run_result run_program(const char* program, std::vector<std::string> arguments, const std::filesystem::path& directory,
                       const run_options& options = {});

// A fresh folder under the system's temporary folder, removed with everything in it.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Names of everything below the folder, relative to it, sorted.
    std::vector<std::string> listing() const;

private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// A program running on a pseudo-terminal that is its controlling terminal and its standard output.
// Standard input is /dev/null, so only a key wait that uses the terminal itself sees the keys, unless
// input_from_terminal (wine takes its console input from standard input).
class terminal_run {
public:
    terminal_run(const std::filesystem::path& directory, std::vector<std::string> arguments,
                 const std::vector<std::string>& environment = {}, bool input_from_terminal = false);
    ~terminal_run();
    terminal_run(const terminal_run&) = delete;
    terminal_run& operator=(const terminal_run&) = delete;

    // What the program has shown: everything until `expected` appears and output pauses, or until
    // output pauses when nothing is expected; at most `seconds`.
    std::string screen_after(const std::string& expected = "", int seconds = 5);
    // True once the terminal is out of line mode, that is, the program waits for a key.
    bool waits_for_key();
    void press(const std::string& keys);
    void send(int signal_number);
    // Exit status, or minus the signal that ended the program, or still_running after 20 seconds.
    static constexpr int still_running = -1000;
    int finish();
    // Whether the terminal's modes are those it had before the program started.
    bool modes_restored();
    // Bytes typed at the terminal that nobody has read.
    int unread_input();

private:
    int master_ = -1, slave_ = -1;
    int child_ = -1;
    termios before_{};
    std::string screen_;
};

// An archive holding these (name, data) pairs in this order, laid out as brelpack lays it out.
std::string make_archive(const std::vector<std::pair<std::string, std::string>>& files);

// The four bytes of value, most significant first; and the same written over archive[at..at+4).
std::string be32(std::uint32_t value);
void patch_be32(std::string& archive, std::size_t at, std::uint32_t value);

// The banners exactly as the programs print them.
extern const std::string encoder_banner;
extern const std::string decoder_banner;

}  // namespace brel_test
