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

// Either colour order converts to the same samples, so neither needs a swap; grey rows go in raw,
// as the luminance of a YCbCr picture.
J_COLOR_SPACE ColourSpaceOf(RowKind kind) {
  switch (kind) {
    case RowKind::kGrey:
      return JCS_YCbCr;
    case RowKind::kRedGreenBlue:
      return JCS_EXT_RGB;
    case RowKind::kBlueGreenRed:
      break;
  }
  return JCS_EXT_BGR;
}

}  // namespace

namespace jpeg {

// One encoding from its start to its end. libjpeg points into it, so it stays where it was made.
// Grey rows are gathered into a row group of luminance, each widened to whole blocks by repeating
// its last pixel; rows below the picture repeat its last row, as libjpeg's own edge expansion
// would.
class RowEncoding {
 public:
  explicit RowEncoding(const TGraphic& reporter) : reporter_(reporter) {
    OpenContext(ctx_, reporter);
  }
  RowEncoding(const RowEncoding&) = delete;
  RowEncoding& operator=(const RowEncoding&) = delete;

  // Into data; false for a picture without pixels, whose stream stays empty.
  bool Start(TJPEGData& data, int width, int height, RowKind kind, const JpegSettings& settings) {
    if (!StartInto(ctx_, data, width, height, ColourSpaceOf(kind), settings, reporter_)) {
      return false;
    }
    rows_due_ = height;
    grey_ = kind == RowKind::kGrey;
    Step([this](jpeg_compress_struct& cinfo) {
      cinfo.raw_data_in = grey_ ? TRUE : FALSE;
      jpeg_start_compress(&cinfo, /*write_all_tables=*/TRUE);
    });
    if (grey_) PrepareGreyGroups(width);  // the row group is known once the compression started
    return true;
  }

  void Put(const std::uint8_t* const* rows, int count) {
    if (count > rows_due_) throw EInvalidGraphicOperation("More rows than the picture has");
    rows_due_ -= count;
    if (!grey_) {
      Step([rows, count](jpeg_compress_struct& cinfo) {
        jpeg_write_scanlines(&cinfo, const_cast<JSAMPARRAY>(rows), static_cast<JDIMENSION>(count));
      });
      return;
    }
    for (int k = 0; k < count; ++k) GatherGrey(rows[k]);
  }

  void Finish() {
    if (rows_due_ > 0) throw EInvalidGraphicOperation("The picture is missing rows");
    if (grey_ && gathered_ > 0) {
      for (int k = gathered_; k < group_; ++k) luma_rows_[k] = luma_rows_[k - 1];
      WriteGreyGroup();
    }
    Step([](jpeg_compress_struct& cinfo) { jpeg_finish_compress(&cinfo); });
    ReportEnd(reporter_, /*complete=*/true);
  }

  int RowsDue() const { return rows_due_; }

 private:
  // Runs one libjpeg step; a failure reports the end of an incomplete encoding and raises.
  template <typename StepFn>
  void Step(const StepFn& step) {
    if (Guarded(ctx_, [&] { step(ctx_.cinfo); })) return;
    ReportEnd(reporter_, /*complete=*/false);
    ThrowFailure(ctx_);
  }

  void PrepareGreyGroups(int width) {
    width_ = static_cast<std::size_t>(width);
    // Whole blocks of luminance; the colour rows are no wider.
    padded_ = (width_ + DCTSIZE - 1) / DCTSIZE * DCTSIZE;
    group_ = ctx_.cinfo.max_v_samp_factor * DCTSIZE;
    luma_.resize(padded_ * kMaxRowGroup);
    neutral_.assign(padded_, CENTERJSAMPLE);
    neutral_rows_.fill(neutral_.data());
  }

  void GatherGrey(const std::uint8_t* row) {
    std::uint8_t* out = luma_.data() + static_cast<std::size_t>(gathered_) * padded_;
    std::memcpy(out, row, width_);
    std::memset(out + width_, row[width_ - 1], padded_ - width_);
    luma_rows_[static_cast<std::size_t>(gathered_)] = out;
    if (++gathered_ == group_) WriteGreyGroup();
  }

  void WriteGreyGroup() {
    gathered_ = 0;
    std::array<JSAMPARRAY, 3> planes = {luma_rows_.data(), neutral_rows_.data(),
                                        neutral_rows_.data()};
    const auto rows = static_cast<JDIMENSION>(group_);
    Step([&planes, rows](jpeg_compress_struct& cinfo) {
      jpeg_write_raw_data(&cinfo, planes.data(), rows);
    });
  }

  EncodeContext ctx_{};
  CompressObjectGuard guard_{ctx_.cinfo};
  const TGraphic& reporter_;
  int rows_due_ = 0;
  bool grey_ = false;
  std::size_t width_ = 0;
  std::size_t padded_ = 0;
  int group_ = 0;
  int gathered_ = 0;
  std::vector<std::uint8_t> luma_;
  std::vector<std::uint8_t> neutral_;
  std::array<JSAMPROW, kMaxRowGroup> luma_rows_{};
  std::array<JSAMPROW, kMaxRowGroup> neutral_rows_{};
};

}  // namespace jpeg

JpegRowEncoder::JpegRowEncoder(TJPEGImage& image) : image_(image) {}

JpegRowEncoder::~JpegRowEncoder() = default;

void JpegRowEncoder::Begin(int width, int height, RowKind kind) {
  encoding_.reset();
  data_ = std::make_shared<TJPEGData>();
  auto encoding = std::make_unique<jpeg::RowEncoding>(image_);
  encoding->Start(*data_, width, height, kind, image_.Settings());
  encoding_ = std::move(encoding);
}

void JpegRowEncoder::PutRows(const std::uint8_t* const* rows, int count) {
  if (!encoding_) throw EInvalidGraphicOperation("No rows are being encoded");
  try {
    encoding_->Put(rows, count);
  } catch (...) {
    encoding_.reset();  // nothing half-encoded stays behind
    throw;
  }
}

void JpegRowEncoder::Finish() {
  if (!encoding_) throw EInvalidGraphicOperation("No rows are being encoded");
  // A picture without pixels was never started: its file is the empty stream.
  if (data_->EncodedWidth != 0) {
    try {
      encoding_->Finish();
    } catch (...) {
      encoding_.reset();
      throw;
    }
  }
  encoding_.reset();
  image_.AssignEncoded(std::move(data_));
}

int JpegRowEncoder::RowsDue() const { return encoding_ ? encoding_->RowsDue() : 0; }

TJPEGImage::TJPEGImage()
    : shared_data_(std::make_shared<TJPEGData>()), settings_(InitialJpegSettings) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::TakeFreshData() { shared_data_ = std::make_shared<TJPEGData>(); }

void TJPEGImage::AssignEncoded(std::shared_ptr<TJPEGData> data) {
  source_bitmap_.reset();
  shared_data_ = std::move(data);
}

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
  if (!shared_data_->EncodedBytes) EncodeFromBitmap();
}

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

// The bitmap's rows go over in its own byte order, several per call, straight from its bottom-up
// raster. An encoding abandoned by EAbort leaves the image assigned, not encoded.
void TJPEGImage::EncodeFromBitmap() {
  TBitmap rows;
  if (source_bitmap_) rows.Assign(*source_bitmap_);
  try {
    jpeg::RowEncoding encoding(*this);
    if (!encoding.Start(*shared_data_, rows.Width(), rows.Height(), RowKind::kBlueGreenRed,
                        settings_)) {
      return;
    }
    std::array<const std::uint8_t*, kRowsPerCall> batch{};
    for (int first = 0; first < rows.Height(); first += kRowsPerCall) {
      const int count = std::min(kRowsPerCall, rows.Height() - first);
      for (int k = 0; k < count; ++k) batch[static_cast<std::size_t>(k)] = rows.ScanLine(first + k);
      encoding.Put(batch.data(), count);
    }
    encoding.Finish();
  } catch (const EAbort&) {
    TakeFreshData();
  } catch (...) {
    // Half-encoded bytes must not pass for the picture's file at the next save.
    TakeFreshData();
    throw;
  }
}

}  // namespace quillamar
