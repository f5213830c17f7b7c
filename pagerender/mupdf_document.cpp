// Loads PDFs and renders their pages through MuPDF: one base context with locks for the process,
// and for each worker's document a context cloned from it, as MuPDF wants threads to work.
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "pagerender/fonts.h"
#include "pagerender/pdf_engines.h"

namespace quillamar::pagerender {
namespace {

// MuPDF's shared caches (fonts, images, the store) take these; they are made before any thread
// starts and never freed.
std::mutex mupdf_locks[FZ_LOCK_MAX];
fz_context* base_context = nullptr;

void LockMupdf(void* /*user*/, int lock) noexcept { mupdf_locks[lock].lock(); }
void UnlockMupdf(void* /*user*/, int lock) noexcept { mupdf_locks[lock].unlock(); }

// MuPDF's messages are not printed: failures reach the user as our one error line (or poppler's
// page), and text it could not draw as our warning.
void NoteWarning(void* /*user*/, const char* message) noexcept {
  try {
    NoteLibraryDiagnostic(message);
  } catch (...) {  // a lost note costs a line of the warning, never the page
  }
}
void IgnoreError(void* /*user*/, const char* /*message*/) noexcept {}

// The cached decoded images, fonts and page objects that all workers share, at most.
constexpr size_t kStoreBytes = 128 << 20;

// Why MuPDF gave up, in a caller's buffer: the locals of a function that calls fz_try stay
// trivially destructible, as a jump back would skip their destructors.
using Reason = char[160];

void KeepReason(fz_context* context, Reason& reason) noexcept {
  std::snprintf(reason, sizeof reason, "%s", fz_caught_message(context));
}

pdf_document* LoadDocument(fz_context* context, const ReadablePdf& pdf, Reason& reason) noexcept {
  fz_stream* stream = nullptr;
  pdf_document* document = nullptr;
  fz_var(stream);
  fz_var(document);
  fz_try(context) {
    if (pdf.bytes) {
      stream = fz_open_memory(context, reinterpret_cast<const unsigned char*>(pdf.bytes.get()),
                              static_cast<size_t>(pdf.size));
      document = pdf_open_document_with_stream(context, stream);
    } else {
      document = pdf_open_document(context, pdf.path.c_str());
    }
  }
  fz_always(context) fz_drop_stream(context, stream);
  fz_catch(context) {
    KeepReason(context, reason);
    return nullptr;
  }
  return document;
}

// The page count, or -1 when the page tree cannot be read.
int CountPages(fz_context* context, fz_document* document, Reason& reason) noexcept {
  int pages = -1;
  fz_var(pages);
  fz_try(context) pages = fz_count_pages(context, document);
  fz_catch(context) {
    KeepReason(context, reason);
    return -1;
  }
  return pages;
}

bool Unlocks(fz_context* context, fz_document* document, const char* password) noexcept {
  int unlocked = 0;
  fz_var(unlocked);
  fz_try(context) {
    unlocked = !fz_needs_password(context, document) ||
               (password != nullptr && fz_authenticate_password(context, document, password));
  }
  fz_catch(context) return false;
  return unlocked != 0;
}

fz_page* LoadPage(fz_context* context, fz_document* document, int index) noexcept {
  fz_page* page = nullptr;
  fz_var(page);
  fz_try(context) page = fz_load_page(context, document, index);
  fz_catch(context) return nullptr;
  return page;
}

// The page's crop box turned by its rotation, in points; empty when it cannot be read.
fz_rect PageBounds(fz_context* context, fz_page* page) noexcept {
  fz_rect bounds = fz_empty_rect;
  fz_var(bounds);
  fz_try(context) bounds = fz_bound_page(context, page);
  fz_catch(context) return fz_empty_rect;
  return bounds;
}

fz_pixmap* NewPixmap(fz_context* context, fz_irect box) noexcept {
  fz_pixmap* pixmap = nullptr;
  fz_var(pixmap);
  fz_try(context) pixmap =
      fz_new_pixmap_with_bbox(context, fz_device_rgb(context), box, nullptr, 0);
  fz_catch(context) return nullptr;
  return pixmap;
}

// Paints the page on the pixmap, which is white; false when MuPDF gave up or left out a part it
// could not read. The page is recorded, then played: drawn straight, some edges come out a shade
// apart from mutool draw's, which plays it so.
bool PaintPage(fz_context* context, fz_page* page, fz_pixmap* pixmap, fz_matrix transform,
               fz_rect area, Reason& reason) noexcept {
  fz_display_list* list = nullptr;
  fz_device* recorder = nullptr;
  fz_device* device = nullptr;
  fz_cookie cookie{};
  fz_var(list);
  fz_var(recorder);
  fz_var(device);
  fz_try(context) {
    list = fz_new_display_list(context, fz_bound_page(context, page));
    recorder = fz_new_list_device(context, list);
    fz_run_page(context, page, recorder, fz_identity, &cookie);
    fz_close_device(context, recorder);
    device = fz_new_draw_device(context, fz_identity, pixmap);
    fz_run_display_list(context, list, device, transform, area, &cookie);
    fz_close_device(context, device);
  }
  fz_always(context) {
    fz_drop_device(context, device);
    fz_drop_device(context, recorder);
    fz_drop_display_list(context, list);
    fz_flush_warnings(context);
  }
  fz_catch(context) {
    KeepReason(context, reason);
    return false;
  }
  if (cookie.errors > 0) std::snprintf(reason, sizeof reason, "%s", "errors in the page");
  return cookie.errors == 0;
}

// Image colour spaces are followed at most this deep (an indexed space over a named one, say),
// and at most this many objects of a page's resources are looked at.
constexpr int kColourSpaceDepth = 4;
constexpr int kResourceVisits = 2000;

// Whether the colour space, or the one it indexes or names, holds CMYK colours.
bool IsCmykSpace(fz_context* context, pdf_obj* space, pdf_obj* named, int depth) {
  if (space == nullptr || depth > kColourSpaceDepth) return false;
  if (pdf_is_name(context, space)) {
    if (pdf_name_eq(context, space, PDF_NAME(DeviceCMYK))) return true;
    pdf_obj* definition = pdf_dict_get(context, named, space);
    return definition != nullptr && IsCmykSpace(context, definition, named, depth + 1);
  }
  if (!pdf_is_array(context, space)) return false;
  pdf_obj* family = pdf_array_get(context, space, 0);
  if (pdf_name_eq(context, family, PDF_NAME(ICCBased))) {
    return pdf_dict_get_int(context, pdf_array_get(context, space, 1), PDF_NAME(N)) == 4;
  }
  return pdf_name_eq(context, family, PDF_NAME(Indexed)) &&
         IsCmykSpace(context, pdf_array_get(context, space, 1), named, depth + 1);
}

// Whether an image of the resources, or of a form they hold, is in CMYK.
bool ResourcesHaveCmykImage(fz_context* context, pdf_obj* resources, int& visits) {
  pdf_obj* objects = pdf_dict_get(context, resources, PDF_NAME(XObject));
  pdf_obj* named = pdf_dict_get(context, resources, PDF_NAME(ColorSpace));
  const int count = pdf_dict_len(context, objects);
  for (int i = 0; i < count && ++visits < kResourceVisits; ++i) {
    pdf_obj* object = pdf_dict_get_val(context, objects, i);
    pdf_obj* subtype = pdf_dict_get(context, object, PDF_NAME(Subtype));
    if (pdf_name_eq(context, subtype, PDF_NAME(Image)) &&
        IsCmykSpace(context, pdf_dict_get(context, object, PDF_NAME(ColorSpace)), named, 0)) {
      return true;
    }
    if (pdf_name_eq(context, subtype, PDF_NAME(Form)) &&
        ResourcesHaveCmykImage(context, pdf_dict_get(context, object, PDF_NAME(Resources)),
                               visits)) {
      return true;
    }
  }
  return false;
}

// MuPDF without colour management turns CMYK into RGB by a formula, visibly more saturated than
// poppler's, which applies a CMYK profile: such pages go to poppler. False when unreadable.
bool HasCmykImage(fz_context* context, fz_page* page) noexcept {
  int found = 0;
  fz_var(found);
  fz_try(context) {
    int visits = 0;
    pdf_page* pdf = pdf_page_from_fz_page(context, page);
    found =
        pdf != nullptr && ResourcesHaveCmykImage(context, pdf_page_resources(context, pdf), visits);
  }
  fz_catch(context) return false;
  return found != 0;
}

// Owners of MuPDF's handles.
struct ContextDrop {
  void operator()(fz_context* context) const { fz_drop_context(context); }
};
using ContextOwner = std::unique_ptr<fz_context, ContextDrop>;

// A PDF through MuPDF on its own context, with the page last asked about and a kept pixmap.
class MupdfDocument final : public PdfDocument {
 public:
  MupdfDocument(ContextOwner context, std::shared_ptr<char[]> bytes)
      : context_(std::move(context)), bytes_(std::move(bytes)) {}
  ~MupdfDocument() override {
    fz_drop_page(context_.get(), page_);
    fz_drop_pixmap(context_.get(), kept_);
    fz_drop_document(context_.get(), document_);
  }

  // Fails as PdfDocument::Open promises, with MuPDF's reason.
  Status Load(const ReadablePdf& pdf, const std::optional<std::string>& password) {
    Reason reason = "not a PDF file, or damaged beyond repair";
    pdf_document* loaded = LoadDocument(context_.get(), pdf, reason);
    if (loaded == nullptr) return Fail(std::string(reason));
    document_ = &loaded->super;
    if (!Unlocks(context_.get(), document_, password ? password->c_str() : nullptr)) {
      return Fail(std::string("protected by a password"));
    }
    pages_ = CountPages(context_.get(), document_, reason);
    if (pages_ < 0) return Fail(std::string(reason));
    if (pages_ == 0) return Fail(std::string("the document has no pages"));
    return {};
  }

  int PageCount() const override { return pages_; }
  void KeepBitmapsUpTo(long long bytes) override { kept_bytes_ = bytes; }
  double PixelCount(int index, double dpi) const override {
    fz_page* page = Page(index);
    if (page == nullptr) return 0;
    const PixelSize size = SizeOf(PageBounds(context_.get(), page), dpi);
    return size.width * size.height;
  }
  Result<PageRaster> Render(int index, double dpi) const override;

 private:
  static PixelSize SizeOf(fz_rect bounds, double dpi) {
    return PagePixelSize(bounds.x1 - bounds.x0, bounds.y1 - bounds.y0, 0, dpi);
  }

  // The page, loaded once for PixelCount and the Render that follows it; null when unreadable.
  fz_page* Page(int index) const {
    if (index == page_index_) return page_;
    fz_drop_page(context_.get(), page_);
    page_ = index >= 0 && index < pages_ ? LoadPage(context_.get(), document_, index) : nullptr;
    page_index_ = index;
    return page_;
  }

  // A white pixmap over box: the kept one when it has the size.
  fz_pixmap* WhitePixmap(fz_irect box) const {
    fz_pixmap* pixmap = nullptr;
    if (kept_ != nullptr && kept_->w == box.x1 - box.x0 && kept_->h == box.y1 - box.y0) {
      pixmap = std::exchange(kept_, nullptr);
      pixmap->x = box.x0;
      pixmap->y = box.y0;
    } else {
      pixmap = NewPixmap(context_.get(), box);
    }
    if (pixmap != nullptr) fz_clear_pixmap_with_value(context_.get(), pixmap, 0xff);
    return pixmap;
  }

  // The raster over the painted pixmap, which the document keeps when it fits the kept size.
  Raster RasterOf(fz_pixmap* pixmap) const {
    Raster raster{pixmap->w, pixmap->h, static_cast<int>(pixmap->stride), pixmap->samples, {}, {}};
    if (static_cast<long long>(pixmap->stride) * pixmap->h <= kept_bytes_) {
      fz_drop_pixmap(context_.get(), std::exchange(kept_, pixmap));
      return raster;
    }
    fz_context* context = context_.get();
    raster.owner.reset(pixmap, [context](fz_pixmap* p) { fz_drop_pixmap(context, p); });
    return raster;
  }

  ContextOwner context_;
  std::shared_ptr<char[]> bytes_;  // the file read whole, if it was: the document reads it
  fz_document* document_ = nullptr;
  int pages_ = 0;
  long long kept_bytes_ = 0;
  mutable fz_page* page_ = nullptr;
  mutable int page_index_ = -1;
  mutable fz_pixmap* kept_ = nullptr;
};

Result<PageRaster> MupdfDocument::Render(int index, double dpi) const {
  fz_page* page = Page(index);
  if (page == nullptr) return Fail("the page cannot be read (damaged page tree)");
  if (HasCmykImage(context_.get(), page)) return Fail("CMYK images");
  const fz_rect bounds = PageBounds(context_.get(), page);
  const PixelSize size = SizeOf(bounds, dpi);
  if (Status usable = CheckPageSize(size, bounds.x1 - bounds.x0, bounds.y1 - bounds.y0); !usable) {
    return Fail(usable.Error());
  }
  // MuPDF's own rule places the page's corner on the pixel grid; ours sets its size.
  const fz_matrix transform = fz_scale(static_cast<float>(dpi / 72), static_cast<float>(dpi / 72));
  const fz_rect area = fz_transform_rect(bounds, transform);
  const fz_irect corner = fz_round_rect(area);
  const fz_irect box{corner.x0, corner.y0, corner.x0 + static_cast<int>(size.width),
                     corner.y0 + static_cast<int>(size.height)};
  fz_pixmap* pixmap = WhitePixmap(box);
  if (pixmap == nullptr) return Fail("out of memory");
  UndrawnTextWatch watch;
  Reason reason = "the page cannot be rendered";
  if (!PaintPage(context_.get(), page, pixmap, transform, area, reason)) {
    fz_drop_pixmap(context_.get(), pixmap);
    return Fail(std::string(reason));
  }
  std::vector<std::string> fonts;
  for (const UndrawnFont& font : watch.Fonts()) fonts.push_back(font.name);
  return PageRaster{RasterOf(pixmap), std::move(fonts)};
}

}  // namespace

bool PrepareMupdf() {
  static const fz_locks_context locks{nullptr, LockMupdf, UnlockMupdf};
  if (base_context != nullptr) return true;
  base_context = fz_new_context(nullptr, &locks, kStoreBytes);
  if (base_context == nullptr) return false;
  fz_set_warning_callback(base_context, NoteWarning, nullptr);
  fz_set_error_callback(base_context, IgnoreError, nullptr);
  return true;
}

OpenedPdf OpenWithMupdf(const ReadablePdf& pdf, const std::optional<std::string>& password) {
  ContextOwner context(base_context != nullptr ? fz_clone_context(base_context) : nullptr);
  if (!context) return Fail(OpenFailure{"MuPDF is not prepared"});
  fz_set_warning_callback(context.get(), NoteWarning, nullptr);
  fz_set_error_callback(context.get(), IgnoreError, nullptr);
  auto document = std::make_unique<MupdfDocument>(std::move(context), pdf.bytes);
  if (Status loaded = document->Load(pdf, password); !loaded) {
    return Fail(OpenFailure{loaded.Error()});
  }
  return std::unique_ptr<PdfDocument>(std::move(document));
}

}  // namespace quillamar::pagerender
