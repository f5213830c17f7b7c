// A PDF opened for rendering and the raster of one page; the rest of the renderer never sees the
// PDF libraries themselves.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/result.h"
#include "pagerender/pagerender.h"

namespace quillamar::pagerender {

/// One rendered page: rows from the top, three bytes per pixel in the order red, green, blue
/// (always opaque: the paper is white).
struct Raster {
  int width = 0;
  int height = 0;
  int stride = 0;  ///< bytes from one row to the next
  unsigned char* pixels = nullptr;
  std::shared_ptr<const void> owner;  ///< keeps pixels alive; empty when the document holds them
  /// How much of each pixel the painter covered (a byte each, rows of width bytes), while rows
  /// are still to be laid on the paper; null when all of them are.
  unsigned char* coverage = nullptr;

  /// Row y, laid on the paper when it is read: the page is read once instead of being laid on
  /// the paper in a pass of its own. Not for two threads at once.
  const unsigned char* Row(int y) const;
  /// A page of contract::kGrowingPagePixels or more, whose writing the run may follow as it grows
  /// and which is compressed when it is mostly flat and written alone.
  bool Huge() const;
};

/// The raster of a page and what is missing from it.
struct PageRaster {
  Raster raster;
  std::vector<std::string> undrawn_fonts;  ///< fonts whose text could not be drawn, each once
};

/// Pixel size of a page of width x height points at the resolution, turned by rotation degrees:
/// each side is rounded up to whole pixels. Both engines size their pages by it.
struct PixelSize {
  double width = 0;
  double height = 0;
};
PixelSize PagePixelSize(double width_points, double height_points, int rotation, double dpi);

class PdfDocument;

/// Why a PDF cannot be rendered.
struct OpenFailure {
  std::string reason;   ///< a phrase such as "protected by a password"
  bool locked = false;  ///< a password is needed, or the one given does not open it
};
/// The document, or why it cannot be rendered.
using OpenedPdf = Result<std::unique_ptr<PdfDocument>, OpenFailure>;

/// A PDF loaded by one thread, with its own page renderer. Not shared between threads.
class PdfDocument {
 public:
  virtual ~PdfDocument();
  PdfDocument(const PdfDocument&) = delete;
  PdfDocument& operator=(const PdfDocument&) = delete;

  /// Loads the file with the engine, trying the password (its bytes as given) as the owner's and
  /// the user's. Fails for an unreadable or missing file, a file that is not a PDF or is damaged
  /// beyond repair, a locked PDF that the password does not open, and a PDF without pages; with
  /// kMupdf, only when poppler fails too, and with poppler's reason.
  static OpenedPdf Open(const std::string& path,
                        const std::optional<std::string>& password = std::nullopt,
                        Engine engine = kDefaultEngine);

  virtual int PageCount() const = 0;
  /// Keeps the bitmap of a page of at most bytes (pixels and alpha) for the next page: one of the
  /// same size is painted over it, which spares mapping, faulting in and zeroing its memory. 0
  /// (the start): every page gets a fresh bitmap, owned by its raster.
  virtual void KeepBitmapsUpTo(long long bytes) = 0;
  /// The number of pixels page index (from 0) has at dpi; 0 when the page cannot be read.
  virtual double PixelCount(int index, double dpi) const = 0;
  /// Renders page index (from 0) at dpi on white paper: its crop box, its rotation honoured.
  /// A raster that fits the kept size stays the document's, valid until its next Render.
  /// Fails for a broken page, an empty page and a raster above kMaxPagePixels. Text in a font
  /// that has no usable face still leaves a page, with the font named in undrawn_fonts.
  virtual Result<PageRaster> Render(int index, double dpi) const = 0;

 protected:
  PdfDocument() = default;
};

/// Takes over the PDF libraries' diagnostics, loads the renderer's font setup and makes MuPDF's
/// context that every document's is cloned from (once, before any thread starts); says whether
/// poppler, which every run may need, can render at all.
bool PreparePdfLibrary();

/// Points fontconfig at the font setup beside the program, through the environment (where it
/// looks when its setup is first needed); PreparePdfLibrary does it too.
void UseProgramFontSetup();

}  // namespace quillamar::pagerender
