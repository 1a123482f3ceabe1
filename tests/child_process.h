// Runs the built program as a child process for end-to-end tests: its standard output and error
// go to files (or to a given path), and it may get a pseudo-terminal as its controlling terminal.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ChildOptions {
  std::string stdout_path;     // empty: a temporary file that run_child reads back
  bool with_terminal = false;  // a pseudo-terminal as controlling terminal (stdin stays /dev/null)
  bool stderr_to_terminal = false;  // with_terminal: standard error goes to the terminal too
  std::string locale;               // LC_ALL for the child, when not empty
  long address_space_limit = 0;     // bytes, 0 for none
  std::string cgroup;               // a cgroup folder the child joins before it starts, when set
  long file_size_limit = 0;         // bytes, 0 for none
  std::string working_directory;    // empty: the test's own
  unsigned closed_descriptors = 0;  // bit k: descriptor k (0, 1 or 2) is closed in the child
  // with_terminal: the child starts in the background, as after `&`, and is brought to the
  // foreground once this file exists.
  std::string background_until_file;
};

struct Child {
  pid_t pid = -1;
  int terminal = -1;        // the pseudo-terminal's master side, or -1
  int terminal_slave = -1;  // its terminal side, held open by the test
  std::string out_path;
  std::string err_path;
  bool own_out = false;
};

struct ChildResult {
  int status = -1;                   // the exit status, or 128 + signal number
  std::string out;                   // standard output (empty when it went to a given path)
  std::string err;                   // standard error
  unsigned long terminal_flags = 0;  // the terminal's local mode (ICANON, ECHO, ...) as left
  std::string terminal_output;       // what the child wrote to the terminal
};

// A fresh, empty directory for one test's files.
std::string make_temp_directory();

// The whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

Child start_child(const std::vector<std::string>& args, const ChildOptions& options = {});

// Waits until the child's standard error contains `text` (true) or `timeout_ms` passed (false).
bool wait_for_stderr(const Child& child, const std::string& text, int timeout_ms = 60000);

// Types `keys` on the child's terminal.
void type_keys(const Child& child, const std::string& keys);

ChildResult finish_child(Child* child);

// Starts, waits for and collects one run.
ChildResult run_child(const std::vector<std::string>& args, const ChildOptions& options = {});
