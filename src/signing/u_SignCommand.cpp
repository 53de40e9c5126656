#include "signing/u_SignCommand.h"

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"
#include "signing/u_SigningError.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
// How often the wait for the command looks whether it is to stop.
constexpr int SliceMilliseconds = 100;

struct TPipe {
  TFileHandle Read, Write;
};

TPipe NewPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0)
    throw ESigningError("cannot run the signing command: " + SysErrorMessage(errno));
  return {TFileHandle(ends[0]), TFileHandle(ends[1])};
}

// Waits for the child and says how it ended; empty when it succeeded.
std::string Ending(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return {};
  return WIFEXITED(status) ? Format("exit status %d", WEXITSTATUS(status))
                           : Format("killed by signal %d", WTERMSIG(status));
}
} // namespace

std::string RunSignCommand(const std::string& command, std::string_view input,
                           const TWaitCheck& whileWaiting) {
  TPipe in = NewPipe(), out = NewPipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.Read.Get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.Write.Get(), STDOUT_FILENO);
  const char* const arguments[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = 0;
  const int started = ::posix_spawn(&child, "/bin/sh", &actions, nullptr,
                                    const_cast<char* const*>(arguments), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0)
    throw ESigningError("cannot run the signing command: " + SysErrorMessage(started));
  in.Read.Close();
  out.Write.Close();

  std::string signature;
  try {
    // What to sign is a digest or a DigestInfo, far less than a pipe holds: written at once.
    const ssize_t written = ::write(in.Write.Get(), input.data(), input.size());
    in.Write.Close();
    if (written != ssize_t(input.size()))
      throw ESigningError("the signing command did not take what to sign");
    for (;;) {
      if (whileWaiting)
        whileWaiting();
      pollfd ready{out.Read.Get(), POLLIN, 0};
      if (::poll(&ready, 1, SliceMilliseconds) <= 0)
        continue;
      char piece[4096];
      const ssize_t n = ::read(out.Read.Get(), piece, sizeof piece);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      signature.append(piece, size_t(n));
      if (signature.size() > MaxCommandSignature)
        throw ESigningError(Format("the signing command wrote more than %zu bytes, which is no "
                                   "signature",
                                   MaxCommandSignature));
    }
  } catch (...) {
    ::kill(child, SIGTERM);
    Ending(child);
    throw;
  }
  if (const std::string ending = Ending(child); !ending.empty())
    throw ESigningError("the signing command failed (" + ending + ")");
  if (signature.empty())
    throw ESigningError("the signing command gave no signature");
  return signature;
}
