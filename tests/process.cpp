#include "process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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

int WaitFor(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }
    if (done < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  WaitFor(pid);
  return -2;
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

LoaderProcess::LoaderProcess(const std::string& program, const std::string& dir,
                             std::vector<std::string> args)
    : link_(dir + "/line"), output_(dir + "/received.bin"), err_(dir + "/loader.err") {
  int out[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  UniqueFd readEnd(out[0]), writeEnd(out[1]);
  UniqueFd err(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  std::vector<std::string> argv = {program, "--link", link_, "--output", output_,
                                   "--idle-timeout", "4"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = Spawn(argv, {}, writeEnd.Get(), err.Get());
  writeEnd.Reset();
  // The first line is the line's path: once it is out, the link exists.
  pollfd ready{readEnd.Get(), POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 10'000), 1) << "the loader did not publish its line";
  char path[256] = {};
  EXPECT_GT(read(readEnd.Get(), path, sizeof path - 1), 0);
  EXPECT_EQ(std::string(path).rfind("/dev/pts/", 0), 0u) << path;
}

LoaderProcess::~LoaderProcess() {
  if (pid_ > 0) Wait();
}

int LoaderProcess::Wait() {
  const int code = WaitFor(pid_);
  pid_ = -1;
  return code;
}

std::string LoaderProcess::Report() const {
  UniqueFd fd(::open(err_.c_str(), O_RDONLY | O_CLOEXEC));
  return ReadAll(fd.Get());
}
