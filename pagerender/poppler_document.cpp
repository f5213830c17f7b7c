// Loads PDFs and renders their pages through poppler's core: one page painter per document,
// kept for all its pages, so fonts are loaded and glyphs rasterised once per document.
#include <Error.h>
#include <GfxFont.h>
#include <GfxState.h>
#include <GlobalParams.h>
#include <PDFDoc.h>
#include <SplashOutputDev.h>
#include <Stream.h>
#include <goo/GooString.h>
#include <splash/SplashBitmap.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "pagerender/fonts.h"
#include "pagerender/pagerender.h"
#include "pagerender/paper.h"
#include "pagerender/pdf_engines.h"

namespace quillamar::pagerender {
namespace {

// The library's own messages are not printed: failures reach the user as our one error line,
// and text it could not draw as our warning.
void NoteDiagnostic(ErrorCategory /*category*/, Goffset /*position*/, const char* message) {
  NoteLibraryDiagnostic(message);
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

// A PDF through poppler's core: its document and one painter kept for all its pages.
class PopplerDocument final : public PdfDocument {
 public:
  PopplerDocument(std::shared_ptr<char[]> bytes, std::unique_ptr<PDFDoc> document)
      : bytes_(std::move(bytes)), document_(std::move(document)) {}

  // Fails as PdfDocument::Open promises.
  Status Load() {
    // The same words whether a password was missing or wrong: the password itself is never shown.
    if (document_->getErrorCode() == errEncrypted) {
      return Fail(std::string("protected by a password"));
    }
    if (!document_->isOk()) return Fail(std::string("not a PDF file, or damaged beyond repair"));
    pages_ = document_->getNumPages();
    if (pages_ <= 0) return Fail(std::string("the document has no pages"));
    painter_ = MakePainter(*document_);
    return {};
  }

  int PageCount() const override { return pages_; }
  void KeepBitmapsUpTo(long long bytes) override { kept_bitmap_bytes_ = bytes; }
  double PixelCount(int index, double dpi) const override;
  Result<PageRaster> Render(int index, double dpi) const override;

 private:
  std::shared_ptr<char[]> bytes_;  // the file read whole, if it was: the document reads it
  std::unique_ptr<PDFDoc> document_;
  std::unique_ptr<SplashOutputDev> painter_;  // lives as long as the document: keeps its fonts
  int pages_ = 0;
  long long kept_bitmap_bytes_ = 0;
};

}  // namespace

bool PreparePoppler() {
  static std::once_flag once;
  std::call_once(once, [] {
    setErrorCallback(NoteDiagnostic);
    if (!globalParams) globalParams = std::make_unique<GlobalParams>();
    // The first graphics state makes the library's shared colour profiles, unguarded: made here,
    // before any worker starts, two workers' first pages cannot both make (and one leak) them.
    const PDFRectangle box(0, 0, 1, 1);
    const GfxState first_state(72, 72, &box, 0, false);
  });
  return globalParams != nullptr;
}

OpenedPdf OpenWithPoppler(const ReadablePdf& pdf, const std::optional<std::string>& password) {
  std::optional<GooString> key;
  if (password) key.emplace(*password);
  std::unique_ptr<PDFDoc> document;
  if (pdf.bytes) {
    document = std::make_unique<PDFDoc>(
        new MemStream(pdf.bytes.get(), 0, pdf.size, Object(objNull)), key, key);
  } else {
    document = std::make_unique<PDFDoc>(std::make_unique<GooString>(pdf.path), key, key);
  }
  const bool locked = document->getErrorCode() == errEncrypted;
  auto opened = std::make_unique<PopplerDocument>(pdf.bytes, std::move(document));
  if (Status loaded = opened->Load(); !loaded) return Fail(OpenFailure{loaded.Error(), locked});
  return std::unique_ptr<PdfDocument>(std::move(opened));
}

double PopplerDocument::PixelCount(int index, double dpi) const {
  const Page* page = index >= 0 && index < pages_ ? document_->getPage(index + 1) : nullptr;
  if (page == nullptr) return 0;
  const PixelSize size =
      PagePixelSize(page->getCropWidth(), page->getCropHeight(), page->getRotate(), dpi);
  return size.width * size.height;
}

Result<PageRaster> PopplerDocument::Render(int index, double dpi) const {
  Page* page = index >= 0 && index < pages_ ? document_->getPage(index + 1) : nullptr;
  if (page == nullptr) return Fail("the page cannot be read (damaged page tree)");
  const double box_width = page->getCropWidth();
  const double box_height = page->getCropHeight();
  const PixelSize size = PagePixelSize(box_width, box_height, page->getRotate(), dpi);
  if (Status usable = CheckPageSize(size, box_width, box_height); !usable) {
    return Fail(usable.Error());
  }
  const int width = static_cast<int>(size.width);
  const int height = static_cast<int>(size.height);
  UndrawnTextWatch watch;
  // The crop box, not clipped to: a page whose size is not a whole number of pixels fills its
  // last row and column as the usual command-line renderer does.
  document_->displayPageSlice(painter_.get(), index + 1, dpi, dpi, 0, /*useMediaBox=*/false,
                              /*crop=*/false, /*printing=*/false, 0, 0, width, height);
  std::shared_ptr<SplashBitmap> taken;
  SplashBitmap* bitmap = painter_->getBitmap();
  if (bitmap != nullptr && BitmapBytes(*bitmap) > kept_bitmap_bytes_) {
    // The painter hands its bitmap over and starts the next page on a fresh one.
    taken.reset(painter_->takeBitmap());
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
