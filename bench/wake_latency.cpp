// The round trip of a 12-byte packet over a pseudo-terminal, with the
// answering side idle for a while before each answer as a loader is while a
// frame is on the wire. Shows how much of an upload's time beyond the wire
// time is the machine waking a sleeping thread.
//
//   wake_latency [IDLE_US ...]   (default: 0 1000 35000)

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "emulator/pty.h"

namespace {

bool ReadExactly(int fd, char* buffer, int count) {
  for (int got = 0; got < count;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    const ssize_t n = read(fd, buffer + got, static_cast<std::size_t>(count - got));
    if (n <= 0) return false;
    got += static_cast<int>(n);
  }
  return true;
}

double RoundTripMicroseconds(long idleMicroseconds, int rounds) {
  PtyPair pty;
  if (!OpenPtyPair(pty)) return -1;
  const int program = pty.slave.Get();
  const int loader = pty.master.Get();
  std::thread answer([&] {
    char packet[12];
    for (int i = 0; i < rounds && ReadExactly(loader, packet, 12); ++i) {
      if (idleMicroseconds > 0) usleep(static_cast<useconds_t>(idleMicroseconds));
      if (write(loader, packet, 12) != 12) return;
    }
  });
  char packet[12] = "MoonDuSt";
  double waited = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (write(program, packet, 12) != 12 || !ReadExactly(program, packet, 12)) break;
    waited += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  }
  answer.join();
  return waited / rounds - static_cast<double>(idleMicroseconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> idles;
  for (int i = 1; i < argc; ++i) idles.push_back(std::strtol(argv[i], nullptr, 10));
  if (idles.empty()) idles = {0, 1000, 35000};
  std::printf("| idle before the answer, us | round trip beyond the idle, us |\n|---|---|\n");
  for (long idle : idles) {
    const int rounds = idle >= 10000 ? 200 : 2000;
    std::printf("| %ld | %.1f |\n", idle, RoundTripMicroseconds(idle, rounds));
  }
  return 0;
}
