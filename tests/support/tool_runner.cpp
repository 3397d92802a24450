#include "support/tool_runner.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace plugin_sign::testing {
namespace {

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return text;
    }
  }
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ToolResult run_tool(const ToolRun& run) {
  std::vector<std::string> argv{run.argv0};
  argv.insert(argv.end(), run.args.begin(), run.args.end());
  std::vector<std::string> env{"PATH=/usr/bin:/bin"};
  if (run.key) env.push_back("KAVENTA_PLUGIN_SIGNING_KEY=" + *run.key);
  env.insert(env.end(), run.extra_env.begin(), run.extra_env.end());
  const bool drop_privileges = run.as_nobody && ::geteuid() == 0;
  std::string binary = run.binary.empty() ? PLUGIN_SIGN_BINARY : run.binary;
  if (drop_privileges) {
    // The build tree may sit where the unprivileged user cannot reach: run a copy placed in
    // the working directory, which the test has opened up.
    const std::filesystem::path copy =
        run.cwd / ("." + std::filesystem::path(binary).filename().string() + "-unprivileged");
    std::filesystem::copy_file(binary, copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(copy, std::filesystem::perms::all);
    binary = copy.string();
  }
  auto argv_ptrs = pointers(argv);
  auto env_ptrs = pointers(env);

  int out[2], err[2], in[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  // Small enough for the pipe's buffer, so written before the child starts.
  if (run.stdin_text && ::write(in[1], run.stdin_text->data(), run.stdin_text->size()) !=
                            static_cast<ssize_t>(run.stdin_text->size()))
    throw std::runtime_error("stdin");
  ::close(in[1]);
  // A child starts with its parent's peak resident set and keeps it through execve: reset
  // ours, so that the child's peak is its own (Linux 4.0 and later; otherwise an overestimate).
  if (std::ofstream clear("/proc/self/clear_refs"); clear) clear << "5";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (drop_privileges &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(126);
    if (::chdir(run.cwd.c_str()) != 0) ::_exit(127);
    if (run.stdin_text) {
      ::dup2(in[0], STDIN_FILENO);
    } else {
      const int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, STDIN_FILENO);
    }
    switch (run.stdout_mode) {
      case Stdout::kCaptured:
        ::dup2(out[1], STDOUT_FILENO);
        break;
      case Stdout::kClosed:
        ::close(STDOUT_FILENO);
        break;
      case Stdout::kBrokenPipe: {
        int broken[2];
        if (::pipe(broken) != 0) ::_exit(127);
        ::close(broken[0]);
        ::dup2(broken[1], STDOUT_FILENO);
        break;
      }
    }
    ::dup2(err[1], STDERR_FILENO);
    if (run.address_space_limit) {
      rlimit limit{};
      ::getrlimit(RLIMIT_AS, &limit);
      limit.rlim_cur = *run.address_space_limit;
      if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
    }
    // A pending alarm survives execve.
    if (run.alarm_seconds > 0) ::alarm(run.alarm_seconds);
    ::execve(binary.c_str(), argv_ptrs.data(), env_ptrs.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ToolResult result;
  // Both pipes are small in practice; read stdout first, then stderr.
  result.out = drain(out[0]);
  result.err = drain(err[0]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.peak_rss = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "plugin_sign_test.XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Restore permissions that tests took away so that removal can go through.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(dir)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

unsigned mode_of(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) throw std::runtime_error("lstat " + path.string());
  return status.st_mode & 07777;
}

void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::filesystem::path make_plugin(const std::filesystem::path& dir, std::string_view plugin_toml,
                                  std::string_view main_wasm) {
  std::filesystem::create_directories(dir);
  write_file(dir / "plugin.toml", plugin_toml);
  write_file(dir / "main.wasm", main_wasm);
  return dir;
}

}  // namespace plugin_sign::testing
