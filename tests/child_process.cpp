#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string temp_file_path(const char* stem) {
  std::string pattern = std::string(P_tmpdir) + "/tindermoss_" + stem + "_XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return pattern;
}

// Plays the shell of a job started with `&`: a process of the child's session takes the terminal's
// foreground for a group of its own, and hands it to the child once `trigger` exists.
void hold_the_foreground(int terminal, const std::string& trigger) {
  int ready[2];
  if (pipe(ready) != 0) _exit(126);
  const pid_t job = getpgrp();
  if (fork() == 0) {
    setpgid(0, 0);
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(terminal, getpgrp());
    close(ready[0]);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    while (access(trigger.c_str(), F_OK) != 0) usleep(2000);
    tcsetpgrp(terminal, job);
    _exit(0);
  }
  char byte;
  close(ready[1]);
  if (read(ready[0], &byte, 1) != 1) _exit(126);
  close(ready[0]);
}

[[noreturn]] void exec_child(const std::vector<std::string>& args, const ChildOptions& options,
                             const std::string& out_path, const std::string& err_path,
                             const char* terminal_name) {
  int slave = -1;
  if (terminal_name != nullptr) {
    setsid();
    slave = open(terminal_name, O_RDWR);  // becomes the controlling terminal
    if (slave < 0) _exit(126);
    if (!options.background_until_file.empty())
      hold_the_foreground(slave, options.background_until_file);
  }
  int in = open("/dev/null", O_RDONLY);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = options.stderr_to_terminal ? slave
                                       : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  if (!options.locale.empty()) setenv("LC_ALL", options.locale.c_str(), 1);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if ((options.closed_descriptors >> descriptor & 1u) != 0) close(descriptor);
  }
  if (!options.cgroup.empty()) {
    const std::string pid = std::to_string(getpid());
    const int procs = open((options.cgroup + "/cgroup.procs").c_str(), O_WRONLY);
    if (procs < 0 || write(procs, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size())) {
      _exit(126);
    }
    close(procs);
  }
  if (options.address_space_limit > 0) {
    rlimit limit{static_cast<rlim_t>(options.address_space_limit),
                 static_cast<rlim_t>(options.address_space_limit)};
    setrlimit(RLIMIT_AS, &limit);
  }
  signal(SIGXFSZ, SIG_DFL);  // the program itself must keep a full file from killing it
  rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  if (options.file_size_limit > 0) {
    rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                 static_cast<rlim_t>(options.file_size_limit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) {
    _exit(126);
  }
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

std::string make_temp_directory() {
  std::string pattern = std::string(P_tmpdir) + "/tindermoss_test_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

Child start_child(const std::vector<std::string>& args, const ChildOptions& options) {
  Child child;
  child.own_out = options.stdout_path.empty();
  child.out_path = child.own_out ? temp_file_path("out") : options.stdout_path;
  child.err_path = temp_file_path("err");
  std::string terminal_name;
  if (options.with_terminal) {
    child.terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (child.terminal < 0 || grantpt(child.terminal) != 0 || unlockpt(child.terminal) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    terminal_name = ptsname(child.terminal);
  }
  child.pid = fork();
  if (child.pid < 0) throw std::runtime_error("fork failed");
  if (child.pid == 0) {
    exec_child(args, options, child.out_path, child.err_path,
               options.with_terminal ? terminal_name.c_str() : nullptr);
  }
  // Holding the terminal's other side keeps its mode readable after the child is gone.
  if (options.with_terminal) child.terminal_slave = open(terminal_name.c_str(), O_RDWR | O_NOCTTY);
  return child;
}

bool wait_for_stderr(const Child& child, const std::string& text, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (read_file(child.err_path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

void type_keys(const Child& child, const std::string& keys) {
  if (write(child.terminal, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    throw std::runtime_error("typing failed");
  }
}

ChildResult finish_child(Child* child) {
  ChildResult result;
  int status = 0;
  while (waitpid(child->pid, &status, 0) < 0) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (child->own_out) {
    result.out = read_file(child->out_path);
    unlink(child->out_path.c_str());
  }
  result.err = read_file(child->err_path);
  unlink(child->err_path.c_str());
  if (child->terminal >= 0) {
    fcntl(child->terminal, F_SETFL, O_NONBLOCK);
    char block[4096];
    for (ssize_t got; (got = read(child->terminal, block, sizeof block)) > 0;) {
      result.terminal_output.append(block, static_cast<std::size_t>(got));
    }
  }
  if (child->terminal_slave >= 0) {
    termios mode{};
    if (tcgetattr(child->terminal_slave, &mode) != 0) throw std::runtime_error("tcgetattr failed");
    result.terminal_flags = mode.c_lflag;
  }
  if (child->terminal >= 0) close(child->terminal);
  if (child->terminal_slave >= 0) close(child->terminal_slave);
  child->terminal = -1;
  child->terminal_slave = -1;
  return result;
}

ChildResult run_child(const std::vector<std::string>& args, const ChildOptions& options) {
  Child child = start_child(args, options);
  return finish_child(&child);
}
