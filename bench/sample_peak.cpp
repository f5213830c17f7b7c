// Runs a command and samples, every 5 ms until it ends, the resident memory of its whole process
// tree and the bytes of the files in a folder that are not JPEGs (intermediate pages and
// temporaries). Prints one line: peak_rss_mb=N peak_intermediate_mb=N samples=N status=N
// Usage: sample_peak FOLDER COMMAND [ARG...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The parent of every process, from /proc/PID/stat (the name in parentheses may hold blanks).
std::multimap<pid_t, pid_t> ChildrenByParent() {
  std::multimap<pid_t, pid_t> children;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
      children.emplace(parent, std::stoi(name));
    }
  }
  return children;
}

long long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return 0;
}

long long TreeResidentKb(pid_t root) {
  const auto children = ChildrenByParent();
  long long total = 0;
  std::vector<pid_t> queue{root};
  while (!queue.empty()) {
    const pid_t pid = queue.back();
    queue.pop_back();
    total += ResidentKb(pid);
    const auto [first, last] = children.equal_range(pid);
    for (auto it = first; it != last; ++it) queue.push_back(it->second);
  }
  return total;
}

long long IntermediateBytes(const fs::path& folder) {
  long long total = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::error_code size_error;
    if (entry.path().extension() == ".jpg" || !entry.is_regular_file(size_error)) continue;
    const auto size = entry.file_size(size_error);
    if (!size_error) total += static_cast<long long>(size);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: sample_peak FOLDER COMMAND [ARG...]\n");
    return 2;
  }
  const fs::path folder = argv[1];
  // The command's own output would mix with our line.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv[2], &actions, nullptr, argv + 2, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::perror(argv[2]);
    return 2;
  }
  long long peak_kb = 0;
  long long peak_bytes = 0;
  long samples = 0;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    peak_kb = std::max(peak_kb, TreeResidentKb(child));
    peak_bytes = std::max(peak_bytes, IntermediateBytes(folder));
    ++samples;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("peak_rss_mb=%lld peak_intermediate_mb=%.1f samples=%ld status=%d\n", peak_kb / 1024,
              static_cast<double>(peak_bytes) / (1 << 20), samples,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
