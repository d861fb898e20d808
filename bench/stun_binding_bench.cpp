// qyn-bench-libs: qyn_stun_server
//
// Binding responses per second from the STUN server component: one binding on 127.0.0.1,
// neNoSync (answers on the listener thread), loaded over loopback by the load generator
// qyn_udp_load running as another process with 16 requests outstanding from one socket.
//
//   stun_binding_bench [--seconds S] [--outstanding N] [--load PATH]
//       starts the server on an ephemeral port, runs the load against it and prints
//       "server=qynwire responses_per_sec=N sent=N received=N bad=N lost=N server_cpu_ns_per_response=N"
//       (the last figure: CPU time of this process, user and system, per response received)
//   stun_binding_bench --serve PORT --seconds S
//       only runs the server on PORT for S seconds (to load it from elsewhere)
//   stun_binding_bench --micro [benchmark flags]
//       in-process cost of one datagram through ProcessDatagram (no sockets)

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qynP2P_STUN_Server.h"
#include "qynUDP_Server.h"

extern char** environ;

namespace {

// ---- In-process cost ------------------------------------------------------------------------

class TCountingSocket : public TqynUDPSocket {
public:
  TCountingSocket() {
    SetIP("192.0.2.1");
    SetPort(5000);
    SetLocalIP("198.51.100.7");
    SetLocalPort(3478);
  }
  void WriteData(const TqynBytes& aBytes) override { Bytes += aBytes.size(); }
  void WriteData(const std::string& aValue) override { Bytes += aValue.size(); }
  size_t Bytes = 0;
};

TqynBytes BindingRequestBytes() {
  TqynSTUN_Message m;
  m.SetMessageType(stmtClientRequest);
  m.Header().SetMessageType_Method(stmmBinding);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(NewTransactionId());
  return m.Write();
}

void BM_ProcessBinding(benchmark::State& state) {
  TqynSTUNServer_Base server;
  TCountingSocket socket;
  const TqynBytes request = BindingRequestBytes();
  for (auto _ : state) server.UDPServerRead(nullptr, &socket, request);
  state.SetItemsProcessed(state.iterations());
  benchmark::DoNotOptimize(socket.Bytes);
}
BENCHMARK(BM_ProcessBinding);

void BM_ProcessBindingWithFingerprint(benchmark::State& state) {
  TqynSTUNServer_Base server;
  TCountingSocket socket;
  TqynSTUN_Message m;
  m.SetMessageType(stmtClientRequest);
  m.Header().SetMessageType_Method(stmmBinding);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(NewTransactionId());
  m.SetFingerprint(stfsFingerprintValid);
  const TqynBytes request = m.Write();
  for (auto _ : state) server.UDPServerRead(nullptr, &socket, request);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessBindingWithFingerprint);

// ---- Cross-process load -----------------------------------------------------------------------

std::string ArgValue(int argc, char** argv, const char* aName, const std::string& aDefault) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], aName) == 0) return argv[i + 1];
  return aDefault;
}

bool HasArg(int argc, char** argv, const char* aName) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], aName) == 0) return true;
  return false;
}

// The directory of this program (the load generator is built next to it).
std::string SelfDirectory() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Runs the load generator and returns its result line (empty on failure).
std::string RunLoad(const std::string& aLoad, int aPort, const std::string& aSeconds, const std::string& aOutstanding) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const std::string target = "127.0.0.1:" + std::to_string(aPort);
  std::vector<std::string> args = {aLoad, "--target", target, "--mode", "binding", "--outstanding", aOutstanding,
                                   "--seconds", aSeconds};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, aLoad.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string out;
  if (rc == 0) {
    char buf[1024];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out.clear();
  } else {
    std::fprintf(stderr, "stun_binding_bench: cannot start %s: %s\n", aLoad.c_str(), std::strerror(rc));
  }
  ::close(pipeFds[0]);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// User and system CPU time of this process so far (the load generator is another process).
double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Serve(TqynSTUNServer_Base& aServer, int aPort) {
  aServer.SetHost("127.0.0.1");
  aServer.SetPort(static_cast<TIdPort>(aPort));
  aServer.SetNotifyEvents(neNoSync);
  std::atomic<long> exceptions{0};
  aServer.OnSTUNException = [&](TqynComponent_Base*, const Exception&) { ++exceptions; };
  aServer.SetActive(true);
  if (!aServer.Active()) {
    std::fprintf(stderr, "stun_binding_bench: cannot listen on 127.0.0.1:%d\n", aPort);
    return 0;
  }
  return aServer.Bindings().Items(0)->Port();
}

} // namespace

int main(int argc, char** argv) {
  if (HasArg(argc, argv, "--micro")) {
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], "--micro") != 0) rest.push_back(argv[i]);
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  }

  const std::string seconds = ArgValue(argc, argv, "--seconds", "5");
  TqynSTUNServer_Base server;

  if (HasArg(argc, argv, "--serve")) {
    const int port = Serve(server, std::atoi(ArgValue(argc, argv, "--serve", "0").c_str()));
    if (port == 0) return 1;
    std::printf("listening=127.0.0.1:%d\n", port);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(std::atof(seconds.c_str()) * 1000)));
    return 0;
  }

  const std::string load = ArgValue(argc, argv, "--load", SelfDirectory() + "/qyn_udp_load");
  if (::access(load.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "stun_binding_bench: load generator %s not found (build the target qyn_udp_load)\n", load.c_str());
    return 1;
  }
  const int port = Serve(server, 0);
  if (port == 0) return 1;
  const double cpuBefore = ProcessCpuSeconds();
  const std::string result = RunLoad(load, port, seconds, ArgValue(argc, argv, "--outstanding", "16"));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  server.SetActive(false);
  if (result.empty()) {
    std::fprintf(stderr, "stun_binding_bench: the load generator failed\n");
    return 1;
  }
  const size_t at = result.find("received=");
  const double received = at == std::string::npos ? 0 : std::atof(result.c_str() + at + 9);
  std::printf("server=qynwire %s server_cpu_ns_per_response=%.0f\n", result.c_str(), received > 0 ? cpu * 1e9 / received : 0.0);
  return 0;
}
