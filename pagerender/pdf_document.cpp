// Loads PDFs and renders their pages through poppler's C++ interface.
#include "pagerender/pdf_document.h"

#include <fcntl.h>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

// The library's own warnings are dropped: failures reach the user as our one error line.
void IgnoreDiagnostic(const std::string& /*message*/, void* /*closure*/) {}

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

int RotationDegrees(poppler::page::orientation_enum orientation) {
  switch (orientation) {
    case poppler::page::landscape:
      return 90;
    case poppler::page::upside_down:
      return 180;
    case poppler::page::seascape:
      return 270;
    default:
      return 0;
  }
}

}  // namespace

// poppler's ARGB32 pixels are native 32-bit words; Raster promises their little-endian bytes.
static_assert(std::endian::native == std::endian::little);

struct PdfDocument::Impl {
  std::unique_ptr<poppler::document> document;
  poppler::page_renderer renderer;
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
  std::call_once(once, [] { poppler::set_debug_error_function(IgnoreDiagnostic, nullptr); });
  return poppler::page_renderer::can_render();
}

PdfDocument::PdfDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PdfDocument::~PdfDocument() = default;

OpenedPdf PdfDocument::Open(const std::string& path) {
  if (std::string reason = UnreadableReason(path); !reason.empty()) return {nullptr, reason};
  auto impl = std::make_unique<Impl>();
  impl->document.reset(poppler::document::load_from_file(path));
  if (!impl->document) return {nullptr, "not a PDF file, or damaged beyond repair"};
  // pages() must not be asked of a locked document: it crashes.
  if (impl->document->is_locked()) return {nullptr, "protected by a password"};
  impl->pages = impl->document->pages();
  if (impl->pages <= 0) return {nullptr, "the document has no pages"};
  impl->renderer.set_render_hints(poppler::page_renderer::antialiasing |
                                  poppler::page_renderer::text_antialiasing);
  impl->renderer.set_image_format(poppler::image::format_argb32);
  impl->renderer.set_paper_color(0xffffffff);
  return {std::unique_ptr<PdfDocument>(new PdfDocument(std::move(impl))), {}};
}

int PdfDocument::PageCount() const { return impl_->pages; }

PageRaster PdfDocument::Render(int index, double dpi) const {
  const std::unique_ptr<poppler::page> page(impl_->document->create_page(index));
  if (!page) return {{}, "the page cannot be read (damaged page tree)"};
  const poppler::rectf box = page->page_rect(poppler::crop_box);
  const PixelSize size =
      PagePixelSize(box.width(), box.height(), RotationDegrees(page->orientation()), dpi);
  if (!(size.width >= 1 && size.height >= 1)) {
    return {{}, "the page has no area (" + SizeText(box.width(), box.height()) + " points)"};
  }
  if (size.width * size.height > static_cast<double>(kMaxPagePixels)) {
    return {{},
            "the page would be " + SizeText(size.width, size.height) +
                " pixels, above the limit of 300 megapixels"};
  }
  auto image = std::make_shared<poppler::image>(impl_->renderer.render_page(
      page.get(), dpi, dpi, 0, 0, static_cast<int>(size.width), static_cast<int>(size.height)));
  if (!image->is_valid() || image->format() != poppler::image::format_argb32) {
    return {{}, "the page cannot be rendered"};
  }
  Raster raster{image->width(), image->height(), image->bytes_per_row(),
                reinterpret_cast<const unsigned char*>(image->const_data()), image};
  return {std::move(raster), {}};
}

}  // namespace quillamar::pagerender

#if defined(__SANITIZE_ADDRESS__)
// fontconfig, which poppler asks for fonts a PDF does not embed, keeps a few allocations until the
// process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
