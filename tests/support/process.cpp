#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace support {

std::string bin_dir() {
  const char* d = std::getenv("VALDRIX_BIN_DIR");
  return d != nullptr ? d : "build/bin";
}

std::uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

namespace {
std::string temp_path(const char* tag) {
  static int counter = 0;
  return "/tmp/valdrix-" + std::string(tag) + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(++counter);
}
std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
}  // namespace

Process::Process(const std::string& exe, const std::vector<std::string>& args,
                 const std::vector<std::string>& env)
    : out_path_(temp_path("out")), err_path_(temp_path("err")) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string s(*e);
    auto eq = s.find('=');
    if (eq != std::string::npos) vars[s.substr(0, eq)] = s.substr(eq + 1);
  }
  for (const auto& e : env) {
    auto eq = e.find('=');
    if (eq == std::string::npos)
      vars.erase(e);
    else
      vars[e.substr(0, eq)] = e.substr(eq + 1);
  }
  std::vector<std::string> env_strings;
  for (auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  // A cross build's tests run under an emulator the kernel may not know (no
  // binfmt_misc entry), so children are started through it too (VALDRIX_EMULATOR).
  const char* emulator = std::getenv("VALDRIX_EMULATOR");
  const std::string program = emulator != nullptr && *emulator != '\0' ? emulator : exe;
  std::vector<std::string> argv_s{exe};
  if (program != exe) argv_s.insert(argv_s.begin(), program);
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (::posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
}

Process::~Process() {
  if (running()) {
    kill(SIGKILL);
    wait(5000);
  }
  ::unlink(out_path_.c_str());
  ::unlink(err_path_.c_str());
}

std::optional<int> Process::wait(int timeout_ms) {
  if (status_ || pid_ <= 0) return status_;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Process::kill(int sig) {
  if (running()) ::kill(pid_, sig);
}

std::string Process::out() const { return slurp(out_path_); }
std::string Process::err() const { return slurp(err_path_); }

bool Process::wait_for_output(const std::string& text, int timeout_ms) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (out().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool Process::wait_for_port(std::uint16_t port, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::close(fd);
    if (r == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace support
