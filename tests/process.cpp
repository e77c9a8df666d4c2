#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "emulator/unique_fd.h"

extern char** environ;

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd,
            int errFd) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& extra : env) replaced |= extra.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) environment.push_back(text);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (!(n < 0 && errno == EINTR)) {
      return text;
    }
  }
}

ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  ProcessOutput output;
  // Files rather than pipes: nothing can block on a full pipe.
  UniqueFd out(memfd_create("stdout", MFD_CLOEXEC));
  UniqueFd err(memfd_create("stderr", MFD_CLOEXEC));
  const pid_t pid = Spawn(argv, env, out.Get(), err.Get());
  if (pid < 0) return output;
  output.exitCode = WaitFor(pid);
  lseek(out.Get(), 0, SEEK_SET);
  lseek(err.Get(), 0, SEEK_SET);
  output.out = ReadAll(out.Get());
  output.err = ReadAll(err.Get());
  return output;
}
