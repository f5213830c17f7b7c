// The two engines behind PdfDocument, for pdf_document.cpp, which chooses between them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "framework/result.h"
#include "pagerender/pdf_document.h"

namespace quillamar::pagerender {

/// A PDF file that can be read, and its bytes when it is small enough to be read whole. The
/// bytes are shared: MuPDF's document and poppler's, when it takes over, read the same copy.
struct ReadablePdf {
  std::string path;
  std::shared_ptr<char[]> bytes;  ///< null: the engine reads the file itself
  long long size = 0;
};

/// Fails for a page of size pixels (box points wide and high) that cannot be rendered: one of no
/// area, or one above kMaxPagePixels.
Status CheckPageSize(const PixelSize& size, double box_width, double box_height);

/// The document through poppler's core.
OpenedPdf OpenWithPoppler(const ReadablePdf& pdf, const std::optional<std::string>& password);
/// The document through MuPDF, on a context cloned from the one PrepareMupdf made. Its Render
/// fails, with the reason, for a page that poppler should render instead.
OpenedPdf OpenWithMupdf(const ReadablePdf& pdf, const std::optional<std::string>& password);

/// Takes over poppler's diagnostics and makes its shared state; whether it can render.
bool PreparePoppler();
/// Makes MuPDF's base context with its locks and silences its messages; whether it can render.
bool PrepareMupdf();

}  // namespace quillamar::pagerender
