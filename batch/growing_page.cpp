// Reading a page file while the renderer still writes it.
#include "batch/growing_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "framework/exceptions.h"
#include "framework/system_calls.h"

namespace quillamar::batch {
namespace {

// How long a reader at the end waits before it looks again: the renderer writes a huge page at a
// few hundred megabytes a second, so a look finds a megabyte or so.
constexpr std::chrono::milliseconds kLookAgain{2};

}  // namespace

class GrowingPage::Reader : public TStream {
 public:
  explicit Reader(GrowingPage& page) : page_(page) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    auto* bytes = static_cast<char*>(buffer);
    std::int64_t got = 0;
    bool last_look = false;
    while (got < count) {
      const ssize_t n = RetryOnInterrupt([&] {
        return ::pread(page_.fd_.Get(), bytes + got, static_cast<std::size_t>(count - got),
                       position_ + got);
      });
      if (n > 0) {
        got += n;
      } else if (n < 0 || last_look) {
        break;
      } else {
        last_look = !page_.AwaitMore();
      }
    }
    position_ += got;
    return got;
  }

  std::int64_t Write(const void* /*buffer*/, std::int64_t /*count*/) override { return 0; }

  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
    switch (origin) {
      case SeekOrigin::kBeginning:
        position_ = offset;
        break;
      case SeekOrigin::kCurrent:
        position_ += offset;
        break;
      case SeekOrigin::kEnd: {
        struct stat info {};
        if (::fstat(page_.fd_.Get(), &info) != 0) throw EReadError();
        position_ = info.st_size + offset;
        break;
      }
    }
    return position_;
  }

 private:
  GrowingPage& page_;
  std::int64_t position_ = 0;
};

std::shared_ptr<GrowingPage> GrowingPage::Open(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  return std::make_shared<GrowingPage>(std::move(fd));
}

bool GrowingPage::Complete() {
  const std::lock_guard lock(mutex_);
  return state_ == State::kComplete;
}

std::unique_ptr<TStream> GrowingPage::Stream() { return std::make_unique<Reader>(*this); }

void GrowingPage::Settle(State state) {
  const std::lock_guard lock(mutex_);
  if (state_ == State::kGrowing) state_ = state;
  settled_.notify_all();
}

bool GrowingPage::AwaitSettled() {
  std::unique_lock lock(mutex_);
  settled_.wait(lock, [this] { return state_ != State::kGrowing; });
  return state_ == State::kComplete;
}

bool GrowingPage::AwaitMore() {
  std::unique_lock lock(mutex_);
  return !settled_.wait_for(lock, kLookAgain, [this] { return state_ != State::kGrowing; });
}

}  // namespace quillamar::batch
