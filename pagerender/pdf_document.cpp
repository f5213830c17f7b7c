// Loads PDFs and renders their pages through poppler's core: one page painter per document,
// kept for all its pages, so fonts are loaded and glyphs rasterised once per document.
#include "pagerender/pdf_document.h"

#include <Error.h>
#include <GfxFont.h>
#include <GfxState.h>
#include <GlobalParams.h>
#include <PDFDoc.h>
#include <SplashOutputDev.h>
#include <Stream.h>
#include <fcntl.h>
#include <goo/GooString.h>
#include <splash/SplashBitmap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

#include "contract/renderer_contract.h"
#include "framework/system_calls.h"
#include "pagerender/fonts.h"
#include "pagerender/pagerender.h"
#include "pagerender/paper.h"

namespace quillamar::pagerender {
namespace {

// The library's own messages are not printed: failures reach the user as our one error line,
// and text it could not draw as our warning.
void NoteDiagnostic(ErrorCategory /*category*/, Goffset /*position*/, const char* message) {
  NoteLibraryDiagnostic(message);
}

// The folder of the running program, where its font setup lies; "" when unknown.
std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/'));
}

// The name a font resource of the page gives its font, or the resource name itself (a font in a
// form's own resources, say).
std::string FontNameOf(Page& page, const std::string& resource_name) {
  Dict* resources = page.getResourceDict();
  if (resources == nullptr) return resource_name;
  const Object fonts = resources->lookup("Font");
  if (!fonts.isDict()) return resource_name;
  const Object font = fonts.getDict()->lookup(resource_name.c_str());
  if (!font.isDict()) return resource_name;
  const Object base_font = font.getDict()->lookup("BaseFont");
  return base_font.isName() ? std::string(base_font.getName()) : resource_name;
}

std::vector<std::string> NamesOf(Page& page, const std::vector<UndrawnFont>& fonts) {
  std::vector<std::string> names;
  for (const UndrawnFont& font : fonts) {
    std::string name = font.is_resource_name ? FontNameOf(page, font.name) : font.name;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

// A PDF up to this size is read into memory at once: the library's file stream would read it
// 256 bytes per system call, and again for every worker.
constexpr off_t kReadWholeUpTo = 32 << 20;

// A PDF file that can be read, and its bytes when it is small enough to be read whole.
struct ReadablePdf {
  std::unique_ptr<char[]> bytes;  // null: the library reads the file itself
  off_t size = 0;
};

// The whole file, or null when it changed size while it was read.
std::unique_ptr<char[]> ReadWhole(int fd, off_t size) {
  auto bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size));
  const bool whole =
      ReadAll(fd, bytes.get(), static_cast<std::size_t>(size)) == static_cast<std::size_t>(size);
  return whole ? std::move(bytes) : nullptr;
}

// Whether the file can be read at all, and why not. Only regular files pass: a pipe or a device
// could block the loader or never end.
Result<ReadablePdf> OpenReadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(std::string("cannot open: ") + std::strerror(errno));
  struct stat status {};
  const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  const bool whole = regular && status.st_size > 0 && status.st_size <= kReadWholeUpTo;
  ReadablePdf readable;
  char byte = 0;
  const ssize_t got = regular ? ::pread(fd, &byte, 1, 0) : 0;
  const int read_error = errno;
  if (whole && got > 0) {
    readable.size = status.st_size;
    readable.bytes = ReadWhole(fd, status.st_size);
  }
  ::close(fd);
  if (S_ISDIR(status.st_mode)) return Fail(std::string("cannot read: ") + std::strerror(EISDIR));
  if (!regular) return Fail("not a regular file");
  if (got < 0) return Fail(std::string("cannot read: ") + std::strerror(read_error));
  return readable;
}

std::string SizeText(double width, double height) {
  return std::to_string(static_cast<long long>(width)) + " x " +
         std::to_string(static_cast<long long>(height));
}

// A CJK font that is not embedded takes a face of its language; without one installed, its text is
// drawn as nothing while the library says no word about it.
void NoteCjkFontWithoutFace(const GfxFont* font) {
  Ref embedded{};
  if (font == nullptr || !font->isCIDFont() || font->getEmbeddedFontID(&embedded)) return;
  const GooString* collection = static_cast<const GfxCIDFont*>(font)->getCollection();
  const std::string language = CollectionLanguage(collection ? collection->toStr() : "");
  if (language.empty() || HasFaceFor(language)) return;
  NoteUndrawnFont(font->getName().value_or("(unnamed)"));
}

// The page painter, which also looks at each font the text turns to.
class Painter final : public SplashOutputDev {
 public:
  using SplashOutputDev::SplashOutputDev;
  void updateFont(GfxState* state) override {
    SplashOutputDev::updateFont(state);
    NoteCjkFontWithoutFace(state->getFont().get());
  }
};

// Three bytes a pixel, red green blue: the layout Raster promises. The usual command-line
// renderer paints in this mode too, and a quarter fewer bytes a pixel is a quarter less memory
// and less to composite.
constexpr SplashColorMode kColourMode = splashModeRGB8;
constexpr int kRowPad = 4;

// The painter the usual command-line renderer uses: white paper, antialiased text and vector
// art, no font hinting. Made without paper, it leaves the page's coverage for Raster::Row to
// mix with the paper instead of doing so itself; the white it is then given still fills each new
// page, as it does everything the paper colour stands for while painting.
std::unique_ptr<SplashOutputDev> MakePainter(PDFDoc& document) {
  SplashColor paper;
  std::memset(paper, 0xff, sizeof paper);
  auto painter = std::make_unique<Painter>(kColourMode, kRowPad, false, nullptr);
  painter->setPaperColor(paper);
  painter->setFontAntialias(true);
  painter->setVectorAntialias(true);
  painter->setFreeTypeHinting(false, false);
  painter->startDoc(&document);
  return painter;
}

// The pixels and the alpha plane of a bitmap.
long long BitmapBytes(const SplashBitmap& bitmap) {
  const long long pixels = static_cast<long long>(bitmap.getWidth()) * bitmap.getHeight();
  return static_cast<long long>(bitmap.getRowSize()) * bitmap.getHeight() +
         (bitmap.getAlphaPtr() != nullptr ? pixels : 0);
}

}  // namespace

struct PdfDocument::Impl {
  std::unique_ptr<char[]> bytes;  // the file read whole, if it was: the document reads it
  std::unique_ptr<PDFDoc> document;
  std::unique_ptr<SplashOutputDev> painter;  // lives as long as the document: keeps its fonts
  int pages = 0;
  long long kept_bitmap_bytes = 0;
};

PixelSize PagePixelSize(double width_points, double height_points, int rotation, double dpi) {
  // Same arithmetic as the usual command-line renderers: scale, then round each side up.
  double width = width_points * dpi / 72.0;
  double height = height_points * dpi / 72.0;
  if (rotation == 90 || rotation == 270) std::swap(width, height);
  return PixelSize{std::ceil(width), std::ceil(height)};
}

void UseProgramFontSetup() { UseFontSetup(ProgramFolder()); }

bool PreparePdfLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    setErrorCallback(NoteDiagnostic);
    UseProgramFontSetup();  // without it the system's setup serves
    if (!globalParams) globalParams = std::make_unique<GlobalParams>();
    // The first graphics state makes the library's shared colour profiles, unguarded: made here,
    // before any worker starts, two workers' first pages cannot both make (and one leak) them.
    const PDFRectangle box(0, 0, 1, 1);
    const GfxState first_state(72, 72, &box, 0, false);
  });
  return globalParams != nullptr;
}

PdfDocument::PdfDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PdfDocument::~PdfDocument() = default;

OpenedPdf PdfDocument::Open(const std::string& path, const std::optional<std::string>& password) {
  Result<ReadablePdf> readable = OpenReadable(path);
  if (!readable) return Fail(OpenFailure{readable.Error()});
  auto impl = std::make_unique<Impl>();
  std::optional<GooString> key;
  if (password) key.emplace(*password);
  impl->bytes = std::move(readable->bytes);
  if (impl->bytes) {
    impl->document = std::make_unique<PDFDoc>(
        new MemStream(impl->bytes.get(), 0, readable->size, Object(objNull)), key, key);
  } else {
    impl->document = std::make_unique<PDFDoc>(std::make_unique<GooString>(path), key, key);
  }
  // The same words whether a password was missing or wrong: the password itself is never shown.
  if (impl->document->getErrorCode() == errEncrypted) {
    return Fail(OpenFailure{"protected by a password", /*locked=*/true});
  }
  if (!impl->document->isOk()) return Fail(OpenFailure{"not a PDF file, or damaged beyond repair"});
  impl->pages = impl->document->getNumPages();
  if (impl->pages <= 0) return Fail(OpenFailure{"the document has no pages"});
  impl->painter = MakePainter(*impl->document);
  return std::unique_ptr<PdfDocument>(new PdfDocument(std::move(impl)));
}

int PdfDocument::PageCount() const { return impl_->pages; }

void PdfDocument::KeepBitmapsUpTo(long long bytes) { impl_->kept_bitmap_bytes = bytes; }

double PdfDocument::PixelCount(int index, double dpi) const {
  const Page* page =
      index >= 0 && index < impl_->pages ? impl_->document->getPage(index + 1) : nullptr;
  if (page == nullptr) return 0;
  const PixelSize size =
      PagePixelSize(page->getCropWidth(), page->getCropHeight(), page->getRotate(), dpi);
  return size.width * size.height;
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

Result<PageRaster> PdfDocument::Render(int index, double dpi) const {
  Page* page = index >= 0 && index < impl_->pages ? impl_->document->getPage(index + 1) : nullptr;
  if (page == nullptr) return Fail("the page cannot be read (damaged page tree)");
  const double box_width = page->getCropWidth();
  const double box_height = page->getCropHeight();
  const PixelSize size = PagePixelSize(box_width, box_height, page->getRotate(), dpi);
  if (!(size.width >= 1 && size.height >= 1)) {
    return Fail("the page has no area (" + SizeText(box_width, box_height) + " points)");
  }
  if (size.width * size.height > static_cast<double>(kMaxPagePixels)) {
    return Fail("the page would be " + SizeText(size.width, size.height) +
                " pixels, above the limit of 300 megapixels");
  }
  const int width = static_cast<int>(size.width);
  const int height = static_cast<int>(size.height);
  UndrawnTextWatch watch;
  // The crop box, not clipped to: a page whose size is not a whole number of pixels fills its
  // last row and column as the usual command-line renderer does.
  impl_->document->displayPageSlice(impl_->painter.get(), index + 1, dpi, dpi, 0,
                                    /*useMediaBox=*/false, /*crop=*/false, /*printing=*/false, 0, 0,
                                    width, height);
  std::shared_ptr<SplashBitmap> taken;
  SplashBitmap* bitmap = impl_->painter->getBitmap();
  if (bitmap != nullptr && BitmapBytes(*bitmap) > impl_->kept_bitmap_bytes) {
    // The painter hands its bitmap over and starts the next page on a fresh one.
    taken.reset(impl_->painter->takeBitmap());
    bitmap = taken.get();
  }
  if (bitmap == nullptr || bitmap->getDataPtr() == nullptr || bitmap->getMode() != kColourMode ||
      bitmap->getWidth() != width || bitmap->getHeight() != height || bitmap->getRowSize() <= 0) {
    return Fail("the page cannot be rendered");
  }
  Raster raster{width,
                height,
                bitmap->getRowSize(),
                bitmap->getDataPtr(),
                std::move(taken),
                bitmap->getAlphaPtr()};
  return PageRaster{std::move(raster), NamesOf(*page, watch.Fonts())};
}

}  // namespace quillamar::pagerender

#if defined(__SANITIZE_ADDRESS__)
// fontconfig, which poppler asks for fonts a PDF does not embed, keeps a few allocations until the
// process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// Nor is their count worth a report: the run reads the renderer's standard error.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif
