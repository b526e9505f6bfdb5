// Child program for the exit-time leak report: builds the leaks named by its argument and
// exits normally, so that the report shows on its standard output.
#include <cstring>

#include "platform/callback.h"
#include "platform/worker_pool.h"

namespace {

using Task = lumalib::Callback<void()>;

// Kept reachable so that a leak checker does not end the process with its own report.
Task* g_kept[2] = {};

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "two-separate") == 0) {
    g_kept[0] = new Task([] {});
    g_kept[1] = new Task([] {});
  } else if (std::strcmp(mode, "two-copies") == 0) {
    g_kept[0] = new Task([] {});
    g_kept[1] = new Task(*g_kept[0]);
  } else if (std::strcmp(mode, "two-empty") == 0) {
    g_kept[0] = new Task([] {});
    g_kept[1] = new Task([] {});
    // Moving out empties them: the binders go, the two callbacks stay.
    Task first(std::move(*g_kept[0]));
    Task second(std::move(*g_kept[1]));
  } else if (std::strcmp(mode, "dropped-by-stop") == 0) {
    // Queued after Stop, never run, destroyed with the pool before the report.
    auto& pool = lumalib::WorkerPool::Instance();
    pool.Stop();
    for (int i = 0; i < 3; ++i) pool.Post(Task([] {}));
  } else if (std::strcmp(mode, "none") != 0) {
    return 2;
  }
  return 0;
}
