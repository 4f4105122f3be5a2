#include "support.hpp"

#include "archive_format.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

run_result run_program(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
                       const run_options& options) {
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
