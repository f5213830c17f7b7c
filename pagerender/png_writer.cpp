// Writes rendered pages as PNG through libpng, straight from the renderer's rows.
#include "pagerender/png_writer.h"

#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>

#include "framework/system_calls.h"
#include "pagerender/png_stored.h"

namespace quillamar::pagerender {
namespace {

constexpr std::size_t kOutputBuffer = 1 << 16;
constexpr int kSampleRowStep = 8;
// Above this share of changing neighbours a page is treated as a photograph.
constexpr double kPhotoShare = 0.25;
// Below this share a page is mostly flat colour, which zlib's fastest level shrinks quickly.
constexpr double kFlatShare = 0.05;
constexpr int kFlatLevel = 1;
// Measured on the shared PDFs at 150 dpi: level 2 costs the same as level 1 and is a little
// smaller; the "up" filter shrinks photographs by about a seventh for 10 % more time, and makes
// text and drawings larger, so only photographs get it.
constexpr int kFastLevel = 2;

// What the libpng callbacks share with us. Trivially destructible: a longjmp may skip it.
struct WriteContext {
  int fd = -1;
  int write_errno = 0;
  std::size_t used = 0;
  char message[160] = {};
  unsigned char buffer[kOutputBuffer];
};

bool FlushContext(WriteContext& ctx) noexcept {
  if (WriteAll(ctx.fd, ctx.buffer, ctx.used) != ctx.used) {
    ctx.write_errno = errno != 0 ? errno : EIO;
    return false;
  }
  ctx.used = 0;
  return true;
}

void OnWrite(png_structp png, png_bytep data, std::size_t length) noexcept {
  auto& ctx = *static_cast<WriteContext*>(png_get_io_ptr(png));
  if (ctx.used + length > kOutputBuffer && !FlushContext(ctx)) png_error(png, "write failed");
  if (length >= kOutputBuffer) {
    if (WriteAll(ctx.fd, data, length) != length) {
      ctx.write_errno = errno != 0 ? errno : EIO;
      png_error(png, "write failed");
    }
    return;
  }
  std::memcpy(ctx.buffer + ctx.used, data, length);
  ctx.used += length;
}

void OnFlush(png_structp png) noexcept {
  auto& ctx = *static_cast<WriteContext*>(png_get_io_ptr(png));
  if (!FlushContext(ctx)) png_error(png, "write failed");
}

// libpng must not print: keep the text and leave by its jump.
void OnError(png_structp png, png_const_charp message) noexcept {
  auto& ctx = *static_cast<WriteContext*>(png_get_error_ptr(png));
  std::strncpy(ctx.message, message, sizeof ctx.message - 1);
  png_longjmp(png, 1);
}

void OnWarning(png_structp /*png*/, png_const_charp /*message*/) noexcept {}

// Owns libpng's write and info structs.
class PngWriteStruct {
 public:
  explicit PngWriteStruct(WriteContext& ctx)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, OnError, OnWarning)),
        info_(png_ ? png_create_info_struct(png_) : nullptr) {}
  ~PngWriteStruct() { png_destroy_write_struct(&png_, info_ ? &info_ : nullptr); }
  PngWriteStruct(const PngWriteStruct&) = delete;
  PngWriteStruct& operator=(const PngWriteStruct&) = delete;

  bool Valid() const { return png_ != nullptr && info_ != nullptr; }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

void SetHeader(png_structp png, png_infop info, const Raster& raster, bool grey, double dpi) {
  png_set_IHDR(png, info, static_cast<png_uint_32>(raster.width),
               static_cast<png_uint_32>(raster.height), 8,
               grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  const auto per_metre = static_cast<png_uint_32>(std::lround(dpi / 0.0254));
  png_set_pHYs(png, info, per_metre, per_metre, PNG_RESOLUTION_METER);
}

void SetCompression(png_structp png, const PngSettings& settings) {
  png_set_compression_level(png, settings.level);
  png_set_compression_strategy(png, settings.strategy);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, settings.filters);
  png_set_compression_buffer_size(png, kOutputBuffer);
}

// Only trivially destructible locals here: errors arrive by longjmp. The caller owns the rest,
// grey_row among it (width bytes, used for a grey page only). A page written as grey that turns
// out to have a coloured row ends at that row with kNotGrey.
[[nodiscard]] Encoding EncodeRows(const PngWriteStruct& owner, WriteContext& ctx,
                                  const Raster& raster, const PngSettings& settings, double dpi,
                                  unsigned char* grey_row) noexcept {
  png_structp png = owner.png();
  png_infop info = owner.info();
  if (setjmp(png_jmpbuf(png)) != 0) return Encoding::kFailed;
  png_set_write_fn(png, &ctx, OnWrite, OnFlush);
  SetHeader(png, info, raster, settings.grey, dpi);
  SetCompression(png, settings);
  png_write_info(png, info);
  if (settings.grey) {
    for (int y = 0; y < raster.height; ++y) {
      if (!TakeGreyRow(raster.Row(y), raster.width, grey_row)) return Encoding::kNotGrey;
      png_write_row(png, grey_row);
    }
  } else {
    for (int y = 0; y < raster.height; ++y) png_write_row(png, raster.Row(y));
  }
  png_write_end(png, info);
  return FlushContext(ctx) ? Encoding::kDone : Encoding::kFailed;
}

// One attempt at the whole file; why it failed, if it did, stays in ctx.
Encoding Encode(WriteContext& ctx, const Raster& raster, const PngSettings& settings, double dpi) {
  const PngWriteStruct owner(ctx);
  if (!owner.Valid()) {
    std::strncpy(ctx.message, "out of memory", sizeof ctx.message - 1);
    return Encoding::kFailed;
  }
  std::unique_ptr<unsigned char[]> grey_row;
  if (settings.grey) grey_row = std::make_unique<unsigned char[]>(std::max(raster.width, 1));
  return EncodeRows(owner, ctx, raster, settings, dpi, grey_row.get());
}

// Stored blocks without filtering need no compressor: written directly, without libpng.
bool IsStored(const PngSettings& settings) {
  return settings.level == 0 && (settings.filters & ~PNG_FILTER_NONE) == 0;
}

// One attempt at the whole file, the way the settings ask for.
Encoding Attempt(WriteContext& ctx, const Raster& raster, const PngSettings& settings, double dpi) {
  if (IsStored(settings)) {
    return WriteStoredPng(ctx.fd, raster, settings.grey, dpi, ctx.write_errno);
  }
  return Encode(ctx, raster, settings, dpi);
}

// A second attempt writes over the first from the start. Emptying the file first would make the
// file system write the abandoned bytes out to the disk when the file is closed.
bool StartOver(WriteContext& ctx) {
  ctx.used = 0;
  if (::lseek(ctx.fd, 0, SEEK_SET) == 0) return true;
  ctx.write_errno = errno;
  return false;
}

// The file ends where the last attempt ended. The colour file is longer than the grey rows before
// it, so this cuts nothing; a size kept as it is (never 0) asks the disk for nothing.
bool CutAfterLastAttempt(WriteContext& ctx) {
  ctx.write_errno = CutAtPosition(ctx.fd);
  return ctx.write_errno == 0;
}

// Share of sampled pixels that differ from their left neighbour (0 for a blank page, near 1 for
// a photograph).
double ColourChangeShare(const Raster& raster) {
  long long changes = 0;
  long long samples = 0;
  for (int y = 0; y < raster.height; y += kSampleRowStep) {
    const unsigned char* row = raster.Row(y);
    for (int x = 1; x < raster.width; ++x) {
      changes += std::memcmp(row + 3 * x, row + 3 * (x - 1), 3) != 0;
    }
    samples += raster.width > 1 ? raster.width - 1 : 0;
  }
  return samples == 0 ? 0.0 : static_cast<double>(changes) / static_cast<double>(samples);
}

// Every eighth row grey: worth trying the page as grey. A coloured page is mostly seen here, before
// grey rows are written only to be written again in colour.
bool SampledRowsGrey(const Raster& raster) {
  std::vector<unsigned char> grey(static_cast<std::size_t>(std::max(raster.width, 0)));
  for (int y = 0; y < raster.height; y += kSampleRowStep) {
    if (!TakeGreyRow(raster.Row(y), raster.width, grey.data())) return false;
  }
  return true;
}

// A huge page of mostly flat colour (a poster, a drawing) shrinks tens of times at level 1, at
// several hundred megabytes a second: sooner done than putting it uncompressed into new file
// pages. Anything busier (a photograph) would compress slower than that.
bool IsHugeAndFlat(const Raster& raster) {
  return raster.Huge() && ColourChangeShare(raster) < kFlatShare;
}

}  // namespace

PngSettings ChoosePngSettings(const Raster& raster, PngMode mode, bool alone_into_new_file) {
  if (mode == PngMode::kIntermediate) {
    const int level = alone_into_new_file && IsHugeAndFlat(raster) ? kFlatLevel : 0;
    return PngSettings{level, Z_DEFAULT_STRATEGY, PNG_FILTER_NONE, SampledRowsGrey(raster)};
  }
  if (ColourChangeShare(raster) > kPhotoShare) {
    return PngSettings{kFastLevel, Z_DEFAULT_STRATEGY, PNG_FILTER_UP};
  }
  return PngSettings{kFastLevel, Z_DEFAULT_STRATEGY, PNG_FILTER_NONE};
}

Status WritePng(int fd, const Raster& raster, const PngSettings& settings, double dpi) {
  auto ctx = std::make_unique<WriteContext>();
  ctx->fd = fd;
  Encoding result = Attempt(*ctx, raster, settings, dpi);
  if (result == Encoding::kNotGrey && StartOver(*ctx)) {
    PngSettings colour = settings;
    colour.grey = false;
    result = Attempt(*ctx, raster, colour, dpi);
    if (result == Encoding::kDone && !CutAfterLastAttempt(*ctx)) result = Encoding::kFailed;
  }
  if (result == Encoding::kDone) return {};
  if (ctx->write_errno != 0) return Fail(std::strerror(ctx->write_errno));
  return Fail(ctx->message[0] != '\0' ? std::string(ctx->message) : "PNG encoding failed");
}

}  // namespace quillamar::pagerender
