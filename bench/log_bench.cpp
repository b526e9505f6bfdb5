// The log writer against spdlog's asynchronous logger, with the same line shape on the same
// machine in the same run: the caller-side cost of one line (one thread), and the
// throughput of four logging threads until every line is on disk. Each measurement runs in
// a forked child, so the process-wide logger starts fresh and is measured through the real
// logging statement. Exits 1 when a logger lost a line.
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/logger.h"
#include "platform/prefix.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Small enough that neither file passes the 8 MiB rotation size, so lines can be counted.
constexpr int kCallerLines = 40000;
constexpr int kThreads = 4;
constexpr int kThreadLines = 12500;
constexpr int kRepeats = 7;

struct Sample {
  double callerNs = 0;       // per line, one thread
  double threadsSeconds = 0;  // four threads until all lines are on disk
  long lines = 0;            // lines found in the file of the four-thread run
};

long CountLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<long>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class Work>
double Time(Work work) {
  auto start = Clock::now();
  work();
  return Seconds(Clock::now() - start);
}

void FourThreads(void (*body)()) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body);
  for (auto& thread : threads) thread.join();
}

// ---- ours: the process-wide logger through LOG_INFO ----

void OurLines(int count) {
  for (int i = 0; i < count; ++i) LOG_INFO("Main") << "processing item " << i << " status " << "ok";
}

Sample OursCaller(const fs::path& dir) {
  platform::UsePrefix(dir / "prefix");
  LOG_INFO("Main") << "warm up";  // creates the logger and its writer
  Sample s;
  s.callerNs = Time([] { OurLines(kCallerLines); }) * 1e9 / kCallerLines;
  Logger::Instance().Stop();
  return s;
}

Sample OursThreads(const fs::path& dir) {
  platform::UsePrefix(dir / "prefix");
  LOG_INFO("Main") << "warm up";
  Sample s;
  s.threadsSeconds = Time([] {
    FourThreads([] { OurLines(kThreadLines); });
    Logger::Instance().Stop();  // everything written, " End..." included
  });
  s.lines = CountLines(*platform::ResolvePath(Logger::Instance().Path())) - 2;
  return s;
}

// ---- anchor: spdlog's async logger, default queue, one worker ----

std::shared_ptr<spdlog::logger> SpdLogger(const fs::path& file) {
  spdlog::init_thread_pool(8192, 1);
  auto logger = spdlog::basic_logger_mt<spdlog::async_factory>("bench", file.string(), true);
  logger->set_pattern("%Y-%m-%d %H:%M:%S:%e [tid=%t][%l][Main][log_bench.cpp][OurLines@1] %v");
  logger->info("warm up");
  return logger;
}

std::shared_ptr<spdlog::logger> g_spd;

void SpdLines(int count) {
  for (int i = 0; i < count; ++i) g_spd->info("processing item {} status {}", i, "ok");
}

Sample SpdCaller(const fs::path& dir) {
  g_spd = SpdLogger(dir / "spdlog.log");
  Sample s;
  s.callerNs = Time([] { SpdLines(kCallerLines); }) * 1e9 / kCallerLines;
  g_spd.reset();
  spdlog::shutdown();
  return s;
}

Sample SpdThreads(const fs::path& dir) {
  g_spd = SpdLogger(dir / "spdlog.log");
  Sample s;
  s.threadsSeconds = Time([] {
    FourThreads([] { SpdLines(kThreadLines); });
    g_spd.reset();
    spdlog::shutdown();  // joins the pool: every message is in the file
  });
  s.lines = CountLines(dir / "spdlog.log") - 1;
  return s;
}

// Runs `measure` in a forked child with a fresh folder and returns its sample.
Sample InChild(Sample (*measure)(const fs::path&), const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) std::exit(1);
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    Sample s = measure(dir);
    if (write(pipeFds[1], &s, sizeof s) != static_cast<ssize_t>(sizeof s)) _exit(1);
    std::exit(0);
  }
  close(pipeFds[1]);
  Sample s;
  bool ok = read(pipeFds[0], &s, sizeof s) == static_cast<ssize_t>(sizeof s);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "benchmark child failed\n");
    std::exit(1);
  }
  fs::remove_all(dir);
  return s;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "orvo-bench-log";
  std::vector<double> oursCaller, spdCaller, oursThreads, spdThreads;
  const long expected = static_cast<long>(kThreads) * kThreadLines;
  bool lost = false;
  for (int r = 0; r < kRepeats; ++r) {
    oursCaller.push_back(InChild(OursCaller, dir).callerNs);
    spdCaller.push_back(InChild(SpdCaller, dir).callerNs);
    Sample ours = InChild(OursThreads, dir);
    Sample spd = InChild(SpdThreads, dir);
    oursThreads.push_back(ours.threadsSeconds);
    spdThreads.push_back(spd.threadsSeconds);
    if (ours.lines != expected || spd.lines != expected) {
      std::fprintf(stderr, "lost lines: ours %ld, spdlog %ld of %ld\n", ours.lines, spd.lines, expected);
      lost = true;
    }
  }
  const double oc = Median(oursCaller), sc = Median(spdCaller);
  const double ot = Median(oursThreads), st = Median(spdThreads);
  std::printf("bench log_caller_cost: %.1f ns/line anchor spdlog_async %.1f ratio %.2f\n", oc, sc, sc / oc);
  std::printf("bench log_throughput_4_threads: %.0f lines/s anchor spdlog_async %.0f ratio %.2f\n",
              expected / ot, expected / st, st / ot);
  return lost ? 1 : 0;
}
