#include "support.hpp"

#include "archive_format.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace brel_test {

namespace {

const std::string credits =
    "\n\tThe brel tools, free to use, copy and share"
    "\n\tE-Mail:   brel-tools@example.org"
    "\n\tHomepage: https://brel-tools.example.org/\n";

}  // namespace

const std::string encoder_banner =
    "Tarvex VIV file encoder" + credits + "\nUsage: brelpack <filename>.viv file1.xxx file2.xxx ...\n\n";
const std::string decoder_banner = "Tarvex VIV file decoder" + credits + "\nUsage: brelsplit <filename>.viv\n\n";

run_result run_program(const char* program, std::vector<std::string> arguments, const std::filesystem::path& directory,
                       const run_options& options) {
    arguments.insert(arguments.begin(), program);
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) environment.push_back(*variable);
    for (const std::string& variable : options.environment) environment.push_back(const_cast<char*>(variable.c_str()));
    environment.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        const rlimit file_size{options.file_size, options.file_size};
        const rlimit address_space{options.address_space, options.address_space};
        setrlimit(RLIMIT_FSIZE, &file_size);
        setrlimit(RLIMIT_AS, &address_space);
        if (chdir(directory.c_str()) == 0) execve(argv[0], argv.data(), environment.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    run_result result;
    pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    for (int open_streams = 2; open_streams > 0;) {
        poll(streams, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t count = read(streams[i].fd, chunk, sizeof chunk);
            if (count > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(count));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;
                --open_streams;
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

terminal_run::terminal_run(const std::filesystem::path& directory, std::vector<std::string> arguments,
                           const std::vector<std::string>& environment, bool input_from_terminal) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
    const std::string slave_name = ptsname(master_);
    slave_ = open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    tcgetattr(slave_, &before_);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    child_ = fork();
    if (child_ == 0) {
        setsid();
        for (const std::string& variable : environment) putenv(const_cast<char*>(variable.c_str()));
        const int terminal = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
        dup2(terminal, STDOUT_FILENO);
        dup2(input_from_terminal ? terminal : open("/dev/null", O_RDONLY), STDIN_FILENO);
        if (chdir(directory.c_str()) == 0) execv(argv[0], argv.data());
        _exit(127);
    }
}

terminal_run::~terminal_run() {
    if (child_ > 0) kill(child_, SIGKILL), waitpid(child_, nullptr, 0);
    close(master_);
    close(slave_);
}

std::string terminal_run::screen_after(const std::string& expected, int seconds) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end;) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, 50) == 1) {
            char chunk[256];
            const ssize_t count = read(master_, chunk, sizeof chunk);
            if (count > 0) screen_.append(chunk, static_cast<std::size_t>(count));
        } else if (screen_.find(expected) != std::string::npos) {
            break;
        }
    }
    return screen_;
}

bool terminal_run::waits_for_key() {
    for (int i = 0; i < 500; ++i) {
        termios now;
        tcgetattr(slave_, &now);
        if ((now.c_lflag & ICANON) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void terminal_run::press(const std::string& keys) {
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) throw std::runtime_error("press");
}

void terminal_run::send(int signal_number) { kill(child_, signal_number); }

int terminal_run::finish() {
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(child_, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (i == 999) return still_running;  // the destructor ends it
    }
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool terminal_run::modes_restored() {
    termios after;
    tcgetattr(slave_, &after);
    return after.c_iflag == before_.c_iflag && after.c_oflag == before_.c_oflag && after.c_lflag == before_.c_lflag &&
           after.c_cflag == before_.c_cflag &&
           std::equal(std::begin(after.c_cc), std::end(after.c_cc), std::begin(before_.c_cc));
}

int terminal_run::unread_input() {
    termios raw = before_;
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    int count = 0;
    ioctl(slave_, FIONREAD, &count);
    tcsetattr(slave_, TCSANOW, &before_);
    return count;
}

scratch_dir::scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> scratch_dir::listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_)) {
        names.push_back(entry.path().lexically_relative(path_).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(stream), {}};
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream stream(path, std::ios::binary);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream) throw std::runtime_error("cannot write " + path.string());
}

std::string make_archive(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<brel::packed_entry> entries;
    for (const auto& [name, data] : files) entries.push_back({name, data.size()});
    const brel::archive_layout layout = brel::lay_out_archive(entries);
    std::string archive(layout.archive_size, '\0');
    brel::write_header_and_directory({reinterpret_cast<std::byte*>(archive.data()), archive.size()}, entries, layout);
    std::size_t cursor = layout.data_start;
    for (const auto& file : files) {
        archive.replace(cursor, file.second.size(), file.second);
        cursor += file.second.size();
    }
    return archive;
}

std::string be32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

void patch_be32(std::string& archive, std::size_t at, std::uint32_t value) { archive.replace(at, 4, be32(value)); }

}  // namespace brel_test
