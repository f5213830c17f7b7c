// The door to the two engines: reads the PDF once, opens it with the engine asked for, and hands
// what MuPDF cannot do to poppler, so that a user sees poppler's pages and messages instead.
#include "pagerender/pdf_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "contract/renderer_contract.h"
#include "framework/descriptors.h"
#include "framework/path_names.h"
#include "framework/system_calls.h"
#include "pagerender/fonts.h"
#include "pagerender/pagerender.h"
#include "pagerender/paper.h"
#include "pagerender/pdf_engines.h"

namespace quillamar::pagerender {
namespace {

// The folder of the running program, where its font setup lies; "" when unknown.
std::string ProgramFolder() {
  const std::string program = RunningExecutablePath();
  return program.substr(0, program.rfind('/'));
}

// A PDF up to this size is read into memory at once: the libraries' file streams would read it
// in small pieces, and again for every worker.
constexpr off_t kReadWholeUpTo = 32 << 20;

// The whole file, or null when it changed size while it was read.
std::shared_ptr<char[]> ReadWhole(int fd, off_t size) {
  std::shared_ptr<char[]> bytes(new char[static_cast<std::size_t>(size)]);
  const bool whole =
      ReadAll(fd, bytes.get(), static_cast<std::size_t>(size)) == static_cast<std::size_t>(size);
  return whole ? std::move(bytes) : nullptr;
}

// Whether the file can be read at all, and why not. Only regular files pass: a pipe or a device
// could block the loader or never end.
Result<ReadablePdf> OpenReadable(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return Fail(std::string("cannot open: ") + std::strerror(errno));
  struct stat status {};
  const bool regular = ::fstat(fd.Get(), &status) == 0 && S_ISREG(status.st_mode);
  const bool whole = regular && status.st_size > 0 && status.st_size <= kReadWholeUpTo;
  ReadablePdf readable{path, nullptr, 0};
  char byte = 0;
  const ssize_t got = regular ? ::pread(fd.Get(), &byte, 1, 0) : 0;
  const int read_error = errno;
  if (whole && got > 0) {
    readable.bytes = ReadWhole(fd.Get(), status.st_size);
    if (readable.bytes) readable.size = status.st_size;
  }
  fd.Reset();
  if (S_ISDIR(status.st_mode)) return Fail(std::string("cannot read: ") + std::strerror(EISDIR));
  if (!regular) return Fail("not a regular file");
  if (got < 0) return Fail(std::string("cannot read: ") + std::strerror(read_error));
  return readable;
}

std::string SizeText(double width, double height) {
  return std::to_string(static_cast<long long>(width)) + " x " +
         std::to_string(static_cast<long long>(height));
}

// Says on the error output, when the run asks for it, that poppler took over from MuPDF.
void SayPopplerTookOver(const std::string& pdf, const std::string& what, const std::string& why) {
  const char* verbose = std::getenv(contract::kVerboseEnv);
  if (verbose == nullptr || std::strcmp(verbose, "1") != 0) return;
  WriteError((std::string(kProgramName) + ": " + pdf + ": " + what + " rendered by poppler (" +
              why + ")\n")
                 .c_str());
}

// MuPDF's document, with poppler's opened by the first page MuPDF hands over. The page's
// messages, its file and its undrawn fonts are then all poppler's.
class MupdfFirst final : public PdfDocument {
 public:
  MupdfFirst(std::unique_ptr<PdfDocument> mupdf, ReadablePdf pdf,
             const std::optional<std::string>& password)
      : mupdf_(std::move(mupdf)), pdf_(std::move(pdf)), password_(password) {}

  int PageCount() const override { return mupdf_->PageCount(); }
  void KeepBitmapsUpTo(long long bytes) override {
    kept_bytes_ = bytes;
    mupdf_->KeepBitmapsUpTo(bytes);
    if (poppler_) poppler_->KeepBitmapsUpTo(bytes);
  }
  double PixelCount(int index, double dpi) const override { return mupdf_->PixelCount(index, dpi); }
  Result<PageRaster> Render(int index, double dpi) const override {
    Result<PageRaster> page = mupdf_->Render(index, dpi);
    // A page above the limit fails by our own size rule, in the same words with either engine.
    if (page || mupdf_->PixelCount(index, dpi) > static_cast<double>(kMaxPagePixels)) return page;
    SayPopplerTookOver(pdf_.path, "page " + std::to_string(index + 1), page.Error());
    if (!poppler_) {
      OpenedPdf opened = OpenWithPoppler(pdf_, password_);
      if (!opened) return Fail(opened.Error().reason);
      poppler_ = std::move(*opened);
      poppler_->KeepBitmapsUpTo(kept_bytes_);
    }
    return poppler_->Render(index, dpi);
  }

 private:
  std::unique_ptr<PdfDocument> mupdf_;
  ReadablePdf pdf_;
  std::optional<std::string> password_;
  mutable std::unique_ptr<PdfDocument> poppler_;
  long long kept_bytes_ = 0;
};

}  // namespace

PixelSize PagePixelSize(double width_points, double height_points, int rotation, double dpi) {
  // Same arithmetic as the usual command-line renderers: scale, then round each side up.
  double width = width_points * dpi / 72.0;
  double height = height_points * dpi / 72.0;
  if (rotation == 90 || rotation == 270) std::swap(width, height);
  return PixelSize{std::ceil(width), std::ceil(height)};
}

Status CheckPageSize(const PixelSize& size, double box_width, double box_height) {
  if (!(size.width >= 1 && size.height >= 1)) {
    return Fail("the page has no area (" + SizeText(box_width, box_height) + " points)");
  }
  if (size.width * size.height > static_cast<double>(kMaxPagePixels)) {
    return Fail("the page would be " + SizeText(size.width, size.height) +
                " pixels, above the limit of 300 megapixels");
  }
  return {};
}

const unsigned char* Raster::Row(int y) const {
  unsigned char* row = pixels + static_cast<long long>(y) * stride;
  if (coverage != nullptr) {
    LayRowOnWhitePaper(row, coverage + static_cast<long long>(y) * width, width);
  }
  return row;
}

bool Raster::Huge() const {
  return static_cast<long long>(width) * height >= contract::kGrowingPagePixels;
}

std::optional<Engine> EngineNamed(const char* name) {
  if (name == nullptr || *name == '\0') return kDefaultEngine;
  if (std::strcmp(name, contract::kEngineMupdf) == 0) return Engine::kMupdf;
  if (std::strcmp(name, contract::kEnginePoppler) == 0) return Engine::kPoppler;
  return std::nullopt;
}

void UseProgramFontSetup() { UseFontSetup(ProgramFolder()); }

bool PreparePdfLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    UseProgramFontSetup();  // without it the system's setup serves
    PrepareMupdf();         // without it every PDF goes to poppler
  });
  return PreparePoppler();
}

PdfDocument::~PdfDocument() = default;

OpenedPdf PdfDocument::Open(const std::string& path, const std::optional<std::string>& password,
                            Engine engine) {
  Result<ReadablePdf> readable = OpenReadable(path);
  if (!readable) return Fail(OpenFailure{readable.Error()});
  if (engine == Engine::kPoppler) return OpenWithPoppler(*readable, password);
  OpenedPdf mupdf = OpenWithMupdf(*readable, password);
  if (mupdf) {
    return std::unique_ptr<PdfDocument>(
        std::make_unique<MupdfFirst>(std::move(*mupdf), std::move(*readable), password));
  }
  // Each worker opens the PDF again: only the first says so.
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) SayPopplerTookOver(path, "the PDF is", mupdf.Error().reason);
  return OpenWithPoppler(*readable, password);
}

}  // namespace quillamar::pagerender
