// Retrying after signals, whole-buffer reads and writes, cutting a file short, and the usable CPU
// count, on plain system calls: no allocation and no lock, so a signal handler may write with them.
// Header-only, so that the renderer shares them without linking framework.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace quillamar {

/// Calls call() again for as long as it fails with EINTR (a negative result and that errno);
/// returns its last result. Async-signal-safe when the call is.
template <typename Call>
auto RetryOnInterrupt(Call call) noexcept(noexcept(call())) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

namespace detail {

// Moves bytes with transfer (one read or write call) until count have moved, retrying after
// signals and short transfers; stops at an error or when nothing moves.
template <typename Byte, typename Transfer>
std::size_t TransferAll(Byte* bytes, std::size_t count, Transfer transfer) noexcept {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t moved = transfer(bytes + done, count - done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    done += static_cast<std::size_t>(moved);
  }
  return done;
}

}  // namespace detail

/// Writes all count bytes, retrying after signals and short writes; returns how many were
/// written, fewer only on an error (errno says which, unless the descriptor took nothing without
/// one). Async-signal-safe.
inline std::size_t WriteAll(int fd, const void* bytes, std::size_t count) noexcept {
  return detail::TransferAll(static_cast<const std::uint8_t*>(bytes), count,
                             [fd](const std::uint8_t* from, std::size_t length) noexcept {
                               return ::write(fd, from, length);
                             });
}

/// Reads until count bytes, the end or an error; returns how many were read (errno is set when
/// an error cut it short). A descriptor that would block counts as an error.
inline std::size_t ReadAll(int fd, void* bytes, std::size_t count) noexcept {
  return detail::TransferAll(
      static_cast<std::uint8_t*>(bytes), count,
      [fd](std::uint8_t* into, std::size_t length) noexcept { return ::read(fd, into, length); });
}

/// Ends the file where its position is; 0, or the error number.
inline int CutAtPosition(int fd) noexcept {
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  return end >= 0 && ::ftruncate(fd, end) == 0 ? 0 : errno;
}

/// The CPUs this process may run on (its affinity, which containers narrow), at least 1.
inline int UsableCpuCount() noexcept {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) {
    return CPU_COUNT(&cpus);
  }
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace quillamar
