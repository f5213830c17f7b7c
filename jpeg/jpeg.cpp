// TJPEGImage: settings, states and the encoding of its bitmap through libjpeg.
#include "jpeg/jpeg.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h needs size_t and FILE first
#include <cstring>
#include <exception>
#include <type_traits>
#include <vector>

#include "framework/row_gate.h"
#include "framework/streams.h"
#include "jpeg/file_replace.h"
#include "jpeg/progress.h"

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace quillamar {

JpegSettings InitialJpegSettings;

void InitJpegScreenDepth(int bits_per_pixel) {
  InitialJpegSettings.PaletteOutput = bits_per_pixel <= 8;
}

TJPEGData::TJPEGData() = default;
TJPEGData::~TJPEGData() = default;

namespace {

constexpr std::size_t kOutputBufferSize = 4096;

// libjpeg's error manager with the place its error exit jumps back to.
struct RaisingErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

// libjpeg's progress record followed by what the relay needs.
struct ProgressRecord {
  jpeg_progress_mgr pub;
  const TGraphic* owner;
  jpeg::ProgressPacing pacing;
};

// One encoding's libjpeg state. The exception parked by a callback waits here until the
// library has been left.
struct EncodeContext {
  RaisingErrorManager error;
  ProgressRecord progress;
  jpeg_compress_struct cinfo;
  std::exception_ptr pending;
};

// libjpeg's destination manager followed by the target stream and the buffer.
struct StreamDestination {
  jpeg_destination_mgr pub;
  TStream* target;
  JOCTET* buffer;
};

static_assert(std::is_standard_layout_v<RaisingErrorManager>);
static_assert(std::is_standard_layout_v<ProgressRecord>);
static_assert(std::is_standard_layout_v<StreamDestination>);
static_assert(offsetof(RaisingErrorManager, pub) == 0);
static_assert(offsetof(ProgressRecord, pub) == 0);
static_assert(offsetof(StreamDestination, pub) == 0);

EncodeContext& ContextOf(j_common_ptr cinfo) {
  return *static_cast<EncodeContext*>(cinfo->client_data);
}

[[noreturn]] void JumpBack(j_common_ptr cinfo) noexcept {
  std::longjmp(reinterpret_cast<RaisingErrorManager*>(cinfo->err)->jump, 1);
}

// Leaves libjpeg through its error exit; the parked exception is rethrown on our side.
[[noreturn]] void LeaveForPending(j_common_ptr cinfo) noexcept {
  cinfo->err->msg_code = JERR_FILE_WRITE;
  JumpBack(cinfo);
}

void IgnoreMessage(j_common_ptr, int) noexcept {}
void IgnoreOutput(j_common_ptr) noexcept {}
void FormatNothing(j_common_ptr, char* buffer) noexcept { buffer[0] = '\0'; }
void ResetErrors(j_common_ptr cinfo) noexcept {
  cinfo->err->num_warnings = 0;
  cinfo->err->msg_code = 0;
}

// Warnings and traces vanish; fatal errors jump back with libjpeg's message code.
jpeg_error_mgr RaisingErrorTemplate() {
  jpeg_error_mgr manager{};
  manager.error_exit = JumpBack;
  manager.emit_message = IgnoreMessage;
  manager.output_message = IgnoreOutput;
  manager.format_message = FormatNothing;
  manager.reset_error_mgr = ResetErrors;
  return manager;
}

void ProgressRelay(j_common_ptr cinfo) noexcept {
  auto* record = reinterpret_cast<ProgressRecord*>(cinfo->progress);
  if (record == nullptr || record->owner == nullptr) return;
  const jpeg::PassState state{record->pub.pass_counter, record->pub.pass_limit,
                              record->pub.completed_passes, record->pub.total_passes};
  const int percent = jpeg::NextProgressPercent(record->pacing, jpeg::ProgressNow(), state);
  if (percent < 0) return;
  EncodeContext& ctx = ContextOf(cinfo);
  try {
    record->owner->Progress(TProgressStage::psRunning, percent, /*redraw=*/false, TRect{}, "");
  } catch (...) {
    ctx.pending = std::current_exception();
  }
  if (ctx.pending) LeaveForPending(cinfo);
}

StreamDestination& DestinationOf(j_compress_ptr cinfo) {
  return *reinterpret_cast<StreamDestination*>(cinfo->dest);
}

// Hands count bytes of the buffer to the stream; a short write is libjpeg's write error.
void WriteOut(j_compress_ptr cinfo, std::size_t count) noexcept {
  StreamDestination& dest = DestinationOf(cinfo);
  EncodeContext& ctx = ContextOf(reinterpret_cast<j_common_ptr>(cinfo));
  std::int64_t written = 0;
  try {
    written = dest.target->Write(dest.buffer, static_cast<std::int64_t>(count));
  } catch (...) {
    ctx.pending = std::current_exception();
  }
  if (ctx.pending) LeaveForPending(reinterpret_cast<j_common_ptr>(cinfo));
  if (written != static_cast<std::int64_t>(count)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

void InitDestination(j_compress_ptr cinfo) noexcept {
  StreamDestination& dest = DestinationOf(cinfo);
  dest.buffer = static_cast<JOCTET*>((*cinfo->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, kOutputBufferSize));
  dest.pub.next_output_byte = dest.buffer;
  dest.pub.free_in_buffer = kOutputBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) noexcept {
  WriteOut(cinfo, kOutputBufferSize);
  StreamDestination& dest = DestinationOf(cinfo);
  dest.pub.next_output_byte = dest.buffer;
  dest.pub.free_in_buffer = kOutputBufferSize;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) noexcept {
  const std::size_t used = kOutputBufferSize - DestinationOf(cinfo).pub.free_in_buffer;
  if (used > 0) WriteOut(cinfo, used);
}

void InstallDestination(j_compress_ptr cinfo, TStream& target) {
  if (cinfo->dest == nullptr) {
    cinfo->dest = static_cast<jpeg_destination_mgr*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(StreamDestination)));
  }
  StreamDestination& dest = DestinationOf(cinfo);
  dest.pub.init_destination = InitDestination;
  dest.pub.empty_output_buffer = EmptyOutputBuffer;
  dest.pub.term_destination = TermDestination;
  dest.target = &target;
  dest.buffer = nullptr;
}

// Runs libjpeg calls with a way back from its error exit. The steps may hold only trivially
// destructible locals, since the jump skips their frames; returns false after a jump.
template <typename Steps>
[[nodiscard]] bool Guarded(EncodeContext& ctx, const Steps& steps) noexcept {
  if (setjmp(ctx.error.jump) != 0) return false;
  steps();
  return true;
}

// Raises what ended the libjpeg calls: the parked exception, or EJPEG with libjpeg's code.
[[noreturn]] void ThrowFailure(const EncodeContext& ctx) {
  if (ctx.pending) std::rethrow_exception(ctx.pending);
  throw EJPEG(FormatMessage("JPEG error #%d", ctx.error.pub.msg_code));
}

void Require(bool completed, const EncodeContext& ctx) {
  if (!completed) ThrowFailure(ctx);
}

// Destroys the compression object however the encoding ends.
class CompressObjectGuard {
 public:
  explicit CompressObjectGuard(jpeg_compress_struct& cinfo) : cinfo_(cinfo) {}
  ~CompressObjectGuard() { jpeg_destroy(reinterpret_cast<j_common_ptr>(&cinfo_)); }
  CompressObjectGuard(const CompressObjectGuard&) = delete;
  CompressObjectGuard& operator=(const CompressObjectGuard&) = delete;

 private:
  jpeg_compress_struct& cinfo_;
};

// Rows handed to libjpeg per call: fewer calls through its row buffering.
constexpr int kRowsPerCall = 16;
// The most rows of a row group: two block rows, for luminance sampled twice as densely.
constexpr int kMaxRowGroup = 2 * DCTSIZE;

void Configure(jpeg_compress_struct& cinfo, const JpegSettings& settings) {
  jpeg_set_defaults(&cinfo);
  cinfo.dct_method = JDCT_FLOAT;
  jpeg_set_quality(&cinfo, settings.Quality, /*force_baseline=*/TRUE);
  if (settings.GrayOutput) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
  if (settings.ProgressiveOutput) jpeg_simple_progression(&cinfo);
}

// Hands the rows over top row first, several per call, straight from the bottom-up raster; with
// a gate, each only once it is complete. False when the gate was abandoned: the compression is then
// left unfinished.
bool CompressRows(jpeg_compress_struct& cinfo, const TBitmap& rows, RowGate* gate) {
  jpeg_start_compress(&cinfo, /*write_all_tables=*/TRUE);
  std::array<JSAMPROW, kRowsPerCall> batch{};
  while (cinfo.next_scanline < cinfo.image_height) {
    const auto first = static_cast<int>(cinfo.next_scanline);
    const int count = std::min<int>(kRowsPerCall, static_cast<int>(cinfo.image_height) - first);
    for (int k = 0; k < count; ++k) {
      if (gate != nullptr && !gate->WaitForRow(first + k)) return false;
      batch[k] = const_cast<JSAMPROW>(rows.ScanLine(first + k));
    }
    if (jpeg_write_scanlines(&cinfo, batch.data(), static_cast<JDIMENSION>(count)) == 0) break;
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

// Hands the grey rows over as luminance beside neutral colour, one row group at a time: libjpeg
// takes them as they are, without a colour conversion or a downsampling. Each row is widened to
// whole blocks by repeating its last pixel, and rows below the picture repeat its last row, as
// libjpeg's own edge expansion would. luma holds a row group of padded rows; neutral is a padded
// row of the neutral colour value.
bool CompressGreyRows(jpeg_compress_struct& cinfo, const GreyRows& rows, std::uint8_t* luma,
                      std::size_t padded, const std::uint8_t* neutral) {
  cinfo.raw_data_in = TRUE;
  jpeg_start_compress(&cinfo, /*write_all_tables=*/TRUE);
  const int group = cinfo.max_v_samp_factor * DCTSIZE;
  std::array<JSAMPROW, kMaxRowGroup> luma_rows{};
  std::array<JSAMPROW, kMaxRowGroup> neutral_rows{};
  neutral_rows.fill(const_cast<JSAMPROW>(neutral));
  std::array<JSAMPARRAY, 3> planes = {luma_rows.data(), neutral_rows.data(), neutral_rows.data()};
  const auto width = static_cast<std::size_t>(rows.width);
  while (cinfo.next_scanline < cinfo.image_height) {
    const auto first = static_cast<int>(cinfo.next_scanline);
    for (int k = 0; k < group; ++k) {
      if (first + k >= rows.height) {
        luma_rows[k] = luma_rows[k - 1];
        continue;
      }
      const std::uint8_t* row = rows.row(first + k);
      std::uint8_t* out = luma + static_cast<std::size_t>(k) * padded;
      std::memcpy(out, row, width);
      std::memset(out + width, row[width - 1], padded - width);
      luma_rows[k] = out;
    }
    if (jpeg_write_raw_data(&cinfo, planes.data(), static_cast<JDIMENSION>(group)) == 0) break;
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

// Starts the encoding of a picture of width × height into a new memory stream of data, up to
// jpeg_start_compress exclusive, and reports the start as the reporter; false for a picture
// without pixels, whose stream stays empty.
bool StartInto(EncodeContext& ctx, TJPEGData& data, int width, int height, J_COLOR_SPACE colours,
               const JpegSettings& settings, const TGraphic& reporter) {
  jpeg_compress_struct& cinfo = ctx.cinfo;
  data.EncodedBytes = std::make_unique<TMemoryStream>();
  data.EncodedBytes->SetPosition(0);
  TStream& target = *data.EncodedBytes;
  Require(Guarded(ctx, [&] { InstallDestination(&cinfo, target); }), ctx);
  if (width == 0 || height == 0) return false;

  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  data.EncodedWidth = width;
  data.EncodedHeight = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = colours;
  Require(Guarded(ctx, [&] { Configure(cinfo, settings); }), ctx);
  if (settings.GrayOutput) data.EncodedGray = true;
  reporter.Progress(TProgressStage::psStarting, 0, /*redraw=*/false, TRect{}, "");
  return true;
}

void ReportEnd(const TGraphic& reporter, bool complete) {
  reporter.Progress(TProgressStage::psEnding, complete ? 100 : 0, /*redraw=*/false, TRect{}, "");
}

// Encodes a picture of width × height into a new memory stream of data; one without pixels gives
// an empty stream. compress_rows runs libjpeg from jpeg_start_compress to its end and returns
// false when it gave up; it may hold only trivially destructible locals (see Guarded). Reports
// the start and the end of the compression as the reporter; raises EAbort when rows were given up.
template <typename CompressRowsFn>
void EncodeInto(EncodeContext& ctx, TJPEGData& data, int width, int height, J_COLOR_SPACE colours,
                const JpegSettings& settings, const TGraphic& reporter,
                const CompressRowsFn& compress_rows) {
  if (!StartInto(ctx, data, width, height, colours, settings, reporter)) return;
  bool all_rows = true;
  const bool compressed = Guarded(ctx, [&] { all_rows = compress_rows(ctx.cinfo); });
  ReportEnd(reporter, compressed && all_rows);
  Require(compressed, ctx);
  if (!all_rows) throw EAbort("Operation aborted");
}

// Sets up the libjpeg state of one encoding for owner, whose progress it relays.
void OpenContext(EncodeContext& ctx, const TGraphic& owner) {
  ctx.error.pub = RaisingErrorTemplate();
  ctx.cinfo.err = &ctx.error.pub;
  ctx.cinfo.client_data = &ctx;
  Require(Guarded(ctx, [&cinfo = ctx.cinfo] { jpeg_create_compress(&cinfo); }), ctx);
  ctx.progress.pub.progress_monitor = ProgressRelay;
  ctx.progress.owner = &owner;
  ctx.cinfo.progress = &ctx.progress.pub;
}

}  // namespace

// The encoding of a picture handed over row by row; at a fixed place, as libjpeg points into it.
struct TJPEGImage::RowFeed {
  EncodeContext ctx{};
  CompressObjectGuard guard{ctx.cinfo};
};

TJPEGImage::TJPEGImage()
    : shared_data_(std::make_shared<TJPEGData>()), settings_(InitialJpegSettings) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::TakeFreshData() { shared_data_ = std::make_shared<TJPEGData>(); }

void TJPEGImage::Assign(const TGraphic& source) {
  if (const auto* bitmap = dynamic_cast<const TBitmap*>(&source)) {
    TakeFreshData();
    auto own = std::make_unique<TBitmap>();
    own->Assign(*bitmap);
    source_bitmap_ = std::move(own);
    return;
  }
  if (const auto* other = dynamic_cast<const TJPEGImage*>(&source)) {
    if (other == this) return;
    shared_data_ = other->shared_data_;
    // Without a bitmap of the source's, an own older one would no longer match the shared data.
    source_bitmap_.reset();
    if (other->source_bitmap_) {
      source_bitmap_ = std::make_unique<TBitmap>();
      source_bitmap_->Assign(*other->source_bitmap_);
    }
    return;
  }
  TGraphic::Assign(source);
}

void TJPEGImage::Draw(TCanvas& canvas, const TRect& rect) const {
  if (source_bitmap_) source_bitmap_->Draw(canvas, rect);
}

int TJPEGImage::Width() const {
  return source_bitmap_ ? source_bitmap_->Width() : shared_data_->EncodedWidth;
}

int TJPEGImage::Height() const {
  return source_bitmap_ ? source_bitmap_->Height() : shared_data_->EncodedHeight;
}

void TJPEGImage::SetWidth(int) {
  throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

void TJPEGImage::SetHeight(int) {
  throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

bool TJPEGImage::Empty() const {
  const bool has_bytes = shared_data_->EncodedBytes && shared_data_->EncodedBytes->Size() > 0;
  return !has_bytes && (!source_bitmap_ || source_bitmap_->Empty());
}

void TJPEGImage::EnsureEncoded() {
  // Bytes of a feed still open are not yet a file.
  if (feed_) throw EInvalidGraphicOperation("The rows are still being encoded");
  if (!shared_data_->EncodedBytes) EncodeFromBitmap(nullptr);
}

void TJPEGImage::EncodeAsRowsComplete(RowGate& gate) { EncodeFromBitmap(&gate); }

void TJPEGImage::KeepOnlyEncoded() {
  EnsureEncoded();
  if (shared_data_->EncodedBytes) source_bitmap_.reset();
}

void TJPEGImage::WriteImage(TStream& stream) {
  EnsureEncoded();
  TMemoryStream* bytes = shared_data_->EncodedBytes.get();
  if (bytes != nullptr) stream.WriteBuffer(bytes->Memory(), bytes->Size());
}

void TJPEGImage::SaveFile(const std::string& path) {
  EnsureEncoded();
  // An abandoned encoding has nothing to save; saying so keeps the caller from taking the
  // page as written.
  TMemoryStream* bytes = shared_data_->EncodedBytes.get();
  if (bytes == nullptr) throw EAbort("Operation aborted");
  jpeg::ReplaceFile(path, bytes->Memory(), static_cast<std::size_t>(bytes->Size()));
}

template <typename Steps>
void TJPEGImage::Encode(const Steps& steps) {
  EncodeContext ctx{};
  const CompressObjectGuard guard(ctx.cinfo);
  OpenContext(ctx, *this);
  try {
    if (shared_data_->EncodedBytes) TakeFreshData();
    steps(ctx);
  } catch (const EAbort&) {
    TakeFreshData();  // an abandoned encoding leaves the image assigned, not encoded
  }
}

void TJPEGImage::EncodeFromBitmap(RowGate* gate) {
  const TBitmap* source = source_bitmap_.get();
  Encode([&](EncodeContext& ctx) {
    TBitmap rows;
    if (source != nullptr) rows.Assign(*source);
    // The bitmap's own byte order, no per-row swap.
    EncodeInto(ctx, *shared_data_, source != nullptr ? source->Width() : 0,
               source != nullptr ? source->Height() : 0, JCS_EXT_BGR, settings_, *this,
               [&](jpeg_compress_struct& cinfo) { return CompressRows(cinfo, rows, gate); });
  });
}

void TJPEGImage::EncodeGrey(const GreyRows& rows) {
  source_bitmap_.reset();
  TakeFreshData();
  // Whole blocks of luminance; the colour rows are no wider.
  const std::size_t padded =
      (static_cast<std::size_t>(rows.width) + DCTSIZE - 1) / DCTSIZE * DCTSIZE;
  std::vector<std::uint8_t> luma(padded * kMaxRowGroup);
  const std::vector<std::uint8_t> neutral(padded, CENTERJSAMPLE);
  Encode([&](EncodeContext& ctx) {
    EncodeInto(ctx, *shared_data_, rows.width, rows.height, JCS_YCbCr, settings_, *this,
               [&](jpeg_compress_struct& cinfo) {
                 return CompressGreyRows(cinfo, rows, luma.data(), padded, neutral.data());
               });
  });
}

void TJPEGImage::BeginRows(int width, int height, RowOrder order) {
  source_bitmap_.reset();
  TakeFreshData();
  feed_ = std::make_unique<RowFeed>();
  // Either order converts to the same samples, so neither needs a swap.
  const J_COLOR_SPACE colours = order == RowOrder::kRedGreenBlue ? JCS_EXT_RGB : JCS_EXT_BGR;
  FeedStep([&](EncodeContext& ctx) {
    OpenContext(ctx, *this);
    if (StartInto(ctx, *shared_data_, width, height, colours, settings_, *this)) {
      Require(
          Guarded(ctx,
                  [&cinfo = ctx.cinfo] { jpeg_start_compress(&cinfo, /*write_all_tables=*/TRUE); }),
          ctx);
    }
  });
}

void TJPEGImage::PutRow(const std::uint8_t* row) {
  FeedStep([row](EncodeContext& ctx) {
    auto* rows = const_cast<JSAMPROW*>(&row);
    Require(Guarded(ctx, [&cinfo = ctx.cinfo, rows] { jpeg_write_scanlines(&cinfo, rows, 1); }),
            ctx);
  });
}

void TJPEGImage::FinishRows() {
  FeedStep([&](EncodeContext& ctx) {
    if (shared_data_->EncodedWidth == 0) return;  // a picture without pixels was never started
    Require(Guarded(ctx, [&cinfo = ctx.cinfo] { jpeg_finish_compress(&cinfo); }), ctx);
    ReportEnd(*this, /*complete=*/true);
  });
  feed_.reset();
}

void TJPEGImage::AbandonRows() {
  feed_.reset();
  TakeFreshData();
}

template <typename Step>
void TJPEGImage::FeedStep(const Step& step) {
  if (!feed_) throw EInvalidGraphicOperation("No rows are being encoded");
  try {
    step(feed_->ctx);
  } catch (...) {
    // Nothing half-encoded stays behind.
    const bool started = shared_data_->EncodedWidth != 0;
    feed_.reset();
    TakeFreshData();
    if (started) ReportEnd(*this, /*complete=*/false);
    throw;
  }
}

}  // namespace quillamar
