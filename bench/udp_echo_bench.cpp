// Datagram rate of the UDP server component. A TqynUDPServer_Base on 127.0.0.1 answers every
// datagram through its socket object; the load comes from the separate program qyn_udp_load (echo
// mode), so the CPU time measured here (getrusage of this process) is the server's alone.
//
//   udp_echo_bench [--seconds S] [--outstanding N] [--size BYTES] [--notify nosync|async]
//                  [--load PATH-TO-qyn_udp_load]
//
// Prints the load generator's line and one result line:
//   server_datagrams=N datagrams_per_sec=N cpu_us_per_datagram=X (user X, system X) cpu_percent=X ...
// With --notify async the events are queued to this program's main thread, which drains them.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qynBase_Sync.h"
#include "qynUDP_Server.h"

extern char** environ;

namespace {

struct TOptions {
  double Seconds = 5;
  int Outstanding = 16;
  int Size = 100;
  bool Async = false;
  std::string Load;
};

[[noreturn]] void Usage(const char* aWhy) {
  std::fprintf(stderr,
               "udp_echo_bench: %s\n"
               "usage: udp_echo_bench [--seconds S] [--outstanding N] [--size BYTES] [--notify nosync|async]\n"
               "                      [--load PATH]\n",
               aWhy);
  std::exit(2);
}

TOptions Parse(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--seconds") o.Seconds = std::atof(next().c_str());
    else if (a == "--outstanding") o.Outstanding = std::atoi(next().c_str());
    else if (a == "--size") o.Size = std::atoi(next().c_str());
    else if (a == "--load") o.Load = next();
    else if (a == "--notify") {
      const std::string m = next();
      if (m == "async") o.Async = true;
      else if (m == "nosync") o.Async = false;
      else Usage("--notify must be nosync or async");
    } else Usage(("unknown argument " + a).c_str());
  }
  if (o.Load.empty()) {
    // The load generator is built next to this program.
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
    dir = dir.substr(0, dir.rfind('/') + 1);
    o.Load = dir + "qyn_udp_load";
  }
  return o;
}

struct TCpu {
  double User = 0, System = 0;
};

TCpu CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return {static_cast<double>(u.ru_utime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec) / 1e6,
          static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6};
}

uint64_t Field(const std::string& aLine, const char* aName) {
  const std::string key = std::string(aName) + "=";
  const size_t p = aLine.find(key);
  return p == std::string::npos ? 0 : std::strtoull(aLine.c_str() + p + key.size(), nullptr, 10);
}

} // namespace

int main(int argc, char** argv) {
  const TOptions o = Parse(argc, argv);
  if (::access(o.Load.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "udp_echo_bench: load generator %s not found (build target qyn_udp_load)\n", o.Load.c_str());
    return 1;
  }
  TqynMainThread::SetMainThread();

  std::atomic<uint64_t> datagrams{0};
  TqynUDPServer_Base server;
  server.SetNotifyEvents(o.Async ? neAsynchronous : neNoSync);
  server.SetHost("127.0.0.1");
  server.SetPort(0);
  server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
    datagrams.fetch_add(1, std::memory_order_relaxed);
    Socket->WriteData(Bytes);
  };
  std::atomic<uint64_t> failures{0};
  server.OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket*, const Exception& E) {
    if (failures.fetch_add(1) == 0 && server.Active())
      std::fprintf(stderr, "udp_echo_bench: first failure: %s\n", E.Message().c_str());
  };
  server.SetActive(true);
  if (!server.Active()) {
    std::fprintf(stderr, "udp_echo_bench: the server did not start\n");
    return 1;
  }
  const TIdPort port = server.Bindings()[0]->Port();

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const std::string target = "127.0.0.1:" + std::to_string(port);
  const std::string seconds = std::to_string(o.Seconds);
  const std::string outstanding = std::to_string(o.Outstanding);
  const std::string size = std::to_string(o.Size);
  std::vector<const char*> args = {o.Load.c_str(), "--target", target.c_str(), "--mode", "echo",
                                   "--outstanding", outstanding.c_str(), "--seconds", seconds.c_str(),
                                   "--size", size.c_str(), nullptr};

  const TCpu cpu0 = CpuSeconds();
  const uint64_t count0 = datagrams.load();
  const auto t0 = std::chrono::steady_clock::now();
  pid_t child = 0;
  if (posix_spawn(&child, o.Load.c_str(), &actions, nullptr, const_cast<char* const*>(args.data()), environ) != 0) {
    std::perror("posix_spawn");
    return 1;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  std::string output;
  for (;;) {
    // With queued events this is the main thread: it runs them as they come.
    if (o.Async) CheckSynchronize(2);
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, o.Async ? 0 : 100) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  const auto t1 = std::chrono::steady_clock::now();
  const TCpu cpu1 = CpuSeconds();
  const uint64_t count = datagrams.load() - count0;
  const uint64_t writeFailures = failures.load(); // a stop may fail the sends still in flight
  ::close(out[0]);
  server.SetActive(false);

  const double elapsed = std::chrono::duration<double>(t1 - t0).count();
  std::fputs(output.c_str(), stdout);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.find("responses_per_sec=") == std::string::npos) {
    std::fprintf(stderr, "udp_echo_bench: the load generator failed\n");
    return 1;
  }
  const double user = cpu1.User - cpu0.User;
  const double system = cpu1.System - cpu0.System;
  const double perDatagram = count ? 1e6 / static_cast<double>(count) : 0.0;
  std::printf("server_datagrams=%" PRIu64 " datagrams_per_sec=%.0f cpu_us_per_datagram=%.3f (user %.3f, system %.3f) "
              "cpu_percent=%.1f write_failures=%" PRIu64 "\n",
              count, static_cast<double>(count) / elapsed, (user + system) * perDatagram, user * perDatagram,
              system * perDatagram, 100.0 * (user + system) / elapsed, writeFailures);
  const uint64_t bad = Field(output, "bad");
  return bad == 0 ? 0 : 1;
}
