// Loads PDFs and renders their pages through poppler's core: one page painter per document,
// kept for all its pages, so fonts are loaded and glyphs rasterised once per document.
#include "pagerender/pdf_document.h"

#include <Error.h>
#include <GlobalParams.h>
#include <PDFDoc.h>
#include <SplashOutputDev.h>
#include <fcntl.h>
#include <goo/GooString.h>
#include <splash/SplashBitmap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

// The library's own warnings are dropped: failures reach the user as our one error line.
void IgnoreDiagnostic(ErrorCategory /*category*/, Goffset /*position*/, const char* /*message*/) {}

// Why the file cannot even be read, or "" when it can. Only regular files pass: a pipe or a
// device could block the loader or never end.
std::string UnreadableReason(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string("cannot open: ") + std::strerror(errno);
  struct stat status {};
  const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  char byte = 0;
  const ssize_t got = regular ? ::read(fd, &byte, 1) : 0;
  const int read_error = errno;
  ::close(fd);
  if (S_ISDIR(status.st_mode)) return std::string("cannot read: ") + std::strerror(EISDIR);
  if (!regular) return "not a regular file";
  if (got < 0) return std::string("cannot read: ") + std::strerror(read_error);
  return {};
}

std::string SizeText(double width, double height) {
  return std::to_string(static_cast<long long>(width)) + " x " +
         std::to_string(static_cast<long long>(height));
}

// Four bytes a pixel, blue green red and an unused byte: the layout Raster promises.
constexpr SplashColorMode kColourMode = splashModeXBGR8;
constexpr int kRowPad = 4;

// The painter the usual command-line renderer uses: white paper, antialiased text and vector
// art, no font hinting.
std::unique_ptr<SplashOutputDev> MakePainter(PDFDoc& document) {
  SplashColor paper;
  std::memset(paper, 0xff, sizeof paper);
  auto painter = std::make_unique<SplashOutputDev>(kColourMode, kRowPad, false, paper);
  painter->setFontAntialias(true);
  painter->setVectorAntialias(true);
  painter->setFreeTypeHinting(false, false);
  painter->startDoc(&document);
  return painter;
}

}  // namespace

struct PdfDocument::Impl {
  std::unique_ptr<PDFDoc> document;
  std::unique_ptr<SplashOutputDev> painter;  // lives as long as the document: keeps its fonts
  int pages = 0;
};

PixelSize PagePixelSize(double width_points, double height_points, int rotation, double dpi) {
  // Same arithmetic as the usual command-line renderers: scale, then round each side up.
  double width = width_points * dpi / 72.0;
  double height = height_points * dpi / 72.0;
  if (rotation == 90 || rotation == 270) std::swap(width, height);
  return PixelSize{std::ceil(width), std::ceil(height)};
}

bool PreparePdfLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    setErrorCallback(IgnoreDiagnostic);
    if (!globalParams) globalParams = std::make_unique<GlobalParams>();
  });
  return globalParams != nullptr;
}

PdfDocument::PdfDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PdfDocument::~PdfDocument() = default;

OpenedPdf PdfDocument::Open(const std::string& path) {
  if (std::string reason = UnreadableReason(path); !reason.empty()) return {nullptr, reason};
  auto impl = std::make_unique<Impl>();
  impl->document = std::make_unique<PDFDoc>(std::make_unique<GooString>(path));
  if (impl->document->getErrorCode() == errEncrypted) return {nullptr, "protected by a password"};
  if (!impl->document->isOk()) return {nullptr, "not a PDF file, or damaged beyond repair"};
  impl->pages = impl->document->getNumPages();
  if (impl->pages <= 0) return {nullptr, "the document has no pages"};
  impl->painter = MakePainter(*impl->document);
  return {std::unique_ptr<PdfDocument>(new PdfDocument(std::move(impl))), {}};
}

int PdfDocument::PageCount() const { return impl_->pages; }

double PdfDocument::PixelCount(int index, double dpi) const {
  const Page* page =
      index >= 0 && index < impl_->pages ? impl_->document->getPage(index + 1) : nullptr;
  if (page == nullptr) return 0;
  const PixelSize size =
      PagePixelSize(page->getCropWidth(), page->getCropHeight(), page->getRotate(), dpi);
  return size.width * size.height;
}

PageRaster PdfDocument::Render(int index, double dpi) const {
  const Page* page =
      index >= 0 && index < impl_->pages ? impl_->document->getPage(index + 1) : nullptr;
  if (page == nullptr) return {{}, "the page cannot be read (damaged page tree)"};
  const double box_width = page->getCropWidth();
  const double box_height = page->getCropHeight();
  const PixelSize size = PagePixelSize(box_width, box_height, page->getRotate(), dpi);
  if (!(size.width >= 1 && size.height >= 1)) {
    return {{}, "the page has no area (" + SizeText(box_width, box_height) + " points)"};
  }
  if (size.width * size.height > static_cast<double>(kMaxPagePixels)) {
    return {{},
            "the page would be " + SizeText(size.width, size.height) +
                " pixels, above the limit of 300 megapixels"};
  }
  const int width = static_cast<int>(size.width);
  const int height = static_cast<int>(size.height);
  impl_->document->displayPageSlice(impl_->painter.get(), index + 1, dpi, dpi, 0, false, true,
                                    false, 0, 0, width, height);
  // The painter hands its bitmap over and starts the next page on a fresh one.
  std::shared_ptr<SplashBitmap> bitmap(impl_->painter->takeBitmap());
  if (!bitmap || bitmap->getDataPtr() == nullptr || bitmap->getMode() != kColourMode ||
      bitmap->getWidth() != width || bitmap->getHeight() != height || bitmap->getRowSize() <= 0) {
    return {{}, "the page cannot be rendered"};
  }
  Raster raster{width, height, bitmap->getRowSize(), bitmap->getDataPtr(), bitmap};
  return {std::move(raster), {}};
}

}  // namespace quillamar::pagerender

#if defined(__SANITIZE_ADDRESS__)
// fontconfig, which poppler asks for fonts a PDF does not embed, keeps a few allocations until the
// process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
