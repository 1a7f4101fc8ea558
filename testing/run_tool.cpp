// SPDX-License-Identifier: MIT
//
// run_tool.cpp - one child process, fed and drained in a single poll loop so
// that a child writing much to standard output and standard error while the
// test still writes its standard input never waits on the test, nor the test
// on it.

#include "testing/run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

extern char** environ;

namespace trirotor::test {
namespace {

constexpr int kPromptWaitMs = 60000;  // generous: it only stops a hang

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// All of `bytes` to a blocking descriptor.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// Appends what `fd` has to `to` (and to `seen`, if given); closes it at its
// end. A terminal's master side ends with EIO once no one holds the slave.
void Drain(int& fd, std::string& to, std::string* seen) {
  char buffer[65536];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got > 0) {
    to.append(buffer, static_cast<std::size_t>(got));
    if (seen) seen->append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    Close(fd);
  }
}

// Our environment with `extra` set on top, as execve takes it.
std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    bool replaced = false;
    for (const auto& [name, value] : extra) replaced |= text.substr(0, text.find('=')) == name;
    if (!replaced) entries.emplace_back(text);
  }
  for (const auto& [name, value] : extra) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

Outcome RunTool(const std::string& program, const RunOptions& options) {
  Outcome outcome;
  const bool answersByPipe = !options.terminal && !options.answers.empty();
  const bool pipe = options.pipe || answersByPipe;

  // Everything the child needs is made here: after fork it may only call
  // what is safe between fork and exec, and a test may have threads.
  std::vector<std::string> args{program};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env = Environment(options.env);
  const std::vector<char*> argv = Pointers(args), envp = Pointers(env);
  const std::string cannotRun = "RunTool: cannot run " + program + "\n";

  // A program that stops reading early gives this process EPIPE, not the
  // signal; the child gets the default back before exec.
  ::signal(SIGPIPE, SIG_IGN);

  // Descriptors: [0] is the child's end, [1] ours. All close on exec.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  int master = -1;
  bool made = ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0;
  std::swap(out[0], out[1]);
  std::swap(err[0], err[1]);
  if (made && pipe) {
    made = ::pipe2(in, O_CLOEXEC) == 0;
  } else if (made) {
    // A regular file, as a shell's "< file" gives.
    in[0] = ::memfd_create("stdin", MFD_CLOEXEC);
    made = in[0] >= 0 && WriteAll(in[0], options.input) && ::lseek(in[0], 0, SEEK_SET) == 0;
  }
  const pid_t child = !made ? -1 : options.terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
  if (child == 0) {
    // Keep the terminal open past the redirections: it is the program's
    // /dev/tty, and with no descriptor on it our side reads an error.
    if (options.terminal) (void)::dup(0);
    // Copies above 2 first, so that no redirection lands on a descriptor
    // still to be moved; dup2 clears close-on-exec on 0, 1 and 2.
    const int from[3] = {in[0], out[0], err[0]};
    int high[3];
    for (int i = 0; i < 3; ++i) high[i] = ::fcntl(from[i], F_DUPFD_CLOEXEC, 3);
    for (int i = 0; i < 3; ++i) ::dup2(high[i], i);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program.c_str(), argv.data(), envp.data());
    if (::write(2, cannotRun.data(), cannotRun.size()) < 0) {
      // nothing more to say it with
    }
    ::_exit(127);
  }
  const int startError = errno;
  Close(in[0]);
  Close(out[0]);
  Close(err[0]);
  if (child < 0) {
    Close(in[1]);
    Close(out[1]);
    Close(err[1]);
    outcome.err = "RunTool: cannot start " + program + ": " + std::strerror(startError);
    return outcome;
  }
  if (in[1] >= 0) ::fcntl(in[1], F_SETFL, O_NONBLOCK);

  std::string pending = pipe ? options.input : std::string();  // still for the input pipe
  std::string seen;                                            // what the prompt's side showed since the last answer
  std::size_t next = 0;
  bool gaveUp = false;
  while (out[1] >= 0 || err[1] >= 0) {
    const bool waiting = next < options.answers.size() && !gaveUp;
    if (in[1] >= 0 && pending.empty() && !(answersByPipe && waiting)) Close(in[1]);
    pollfd fds[4] = {
        {out[1], POLLIN, 0}, {err[1], POLLIN, 0}, {master, POLLIN, 0}, {pending.empty() ? -1 : in[1], POLLOUT, 0}};
    const int ready = ::poll(fds, 4, waiting ? kPromptWaitMs : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {  // no prompt in time, or poll itself failed
      ::kill(child, SIGKILL);
      gaveUp = true;
      pending.clear();
      if (ready < 0) break;
      continue;
    }
    if (fds[3].revents != 0) {
      const ssize_t put = ::write(in[1], pending.data(), pending.size());
      if (put > 0) {
        pending.erase(0, static_cast<std::size_t>(put));
      } else if (errno != EINTR && errno != EAGAIN) {  // the program closed its input
        outcome.inputWhole = false;
        pending.clear();
        Close(in[1]);
        gaveUp |= answersByPipe;
      }
    }
    std::string* promptSide = waiting ? &seen : nullptr;
    if (fds[0].revents != 0) Drain(out[1], outcome.out, options.terminal ? nullptr : promptSide);
    if (fds[1].revents != 0) Drain(err[1], outcome.err, nullptr);
    if (fds[2].revents != 0) Drain(master, outcome.terminal, options.terminal ? promptSide : nullptr);
    if (!waiting) continue;
    if ((options.terminal ? master : out[1]) < 0) {  // no prompt can come any more
      gaveUp = true;
    } else if (seen.ends_with(options.terminal ? ": " : "\n")) {
      const std::string& answer = options.answers[next++];
      seen.clear();
      if (options.terminal) {
        const bool whole = WriteAll(master, answer);
        outcome.inputWhole &= whole;
        outcome.answered += whole;
      } else {
        pending += answer;
        ++outcome.answered;
      }
    }
  }
  Close(in[1]);
  Close(out[1]);
  Close(err[1]);

  int status = 0;
  rusage usage{};
  pid_t ended;
  do {
    ended = ::wait4(child, &status, 0, &usage);
  } while (ended < 0 && errno == EINTR);
  Close(master);  // only now: closing it first would hang up on the child
  if (ended != child) {
    outcome.err += std::string("RunTool: cannot wait for the child: ") + std::strerror(errno);
  } else if (WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
    outcome.status = 1000 + outcome.signal;
  }
  outcome.maxRssKiB = usage.ru_maxrss;
  return outcome;
}

}  // namespace trirotor::test
