// The header, palette, transparency, gamma, text and time chunks.
#include "png/png_chunks.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "framework/bytes.h"
#include "png/png_internal.h"
#include "png/png_object.h"

namespace quillamar::png {

namespace detail {

int StorageBitsFor(std::uint8_t color_type, std::uint8_t bit_depth) {
  switch (color_type) {
    case 0:
      if (bit_depth == 1) return 1;
      if (bit_depth == 2 || bit_depth == 4) return 4;
      return bit_depth == 8 || bit_depth == 16 ? 8 : 0;
    case 3:
      if (bit_depth == 1) return 1;
      if (bit_depth == 2 || bit_depth == 4) return 4;
      return bit_depth == 8 ? 8 : 0;
    case 4:
      return bit_depth == 8 || bit_depth == 16 ? 8 : 0;
    case 2:
    case 6:
      return bit_depth == 8 || bit_depth == 16 ? 24 : 0;
    default:
      return 0;
  }
}

std::shared_ptr<std::uint8_t[]> AllocateZeroed(std::uint64_t bytes) {
  // calloc hands out zeroed pages lazily: rows the image never delivers cost no memory.
  std::shared_ptr<std::uint8_t[]> memory(
      static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(bytes), 1)), std::free);
  if (!memory) throw EOutOfMemory();
  return memory;
}

}  // namespace detail

namespace {

bool HasAlphaPlane(std::uint8_t color_type) { return color_type == 4 || color_type == 6; }

template <class C>
const C& SameClass(const TChunk& source) {
  const auto* same = dynamic_cast<const C*>(&source);
  if (same == nullptr) Raise<EPngError>(kIncompatibleChunksText);
  return *same;
}

}  // namespace

// ---- IHDR ----

void TChunkIHDR::ParseFields() {
  const std::uint8_t* data = Payload();
  width_ = LoadBigEndian32(data);
  height_ = LoadBigEndian32(data + 4);
  bit_depth_ = data[8];
  color_type_ = data[9];
  compression_method_ = data[10];
  filter_method_ = data[11];
  interlace_method_ = data[12];
}

// Only the first header of a non-interlaced red-green-blue image is offered.
bool TChunkIHDR::OfferedToRowSink() {
  ImageState* state = OwnerState();
  if (state == nullptr) return false;
  state->SetInterlaceMethod(interlace_method_);
  RowSink* sink = state->Options().rows;
  return sink != nullptr && color_type_ == 2 && interlace_method_ == 0 &&
         OwnerImage()->HasHeader() && &OwnerImage()->HeaderChunk() == this &&
         sink->TakesRows(*this);
}

bool TChunkIHDR::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunk::ReadBody(stream, type, length);
  if (PayloadLength() < 13) Raise<EPngInvalidIHDR>(kInvalidIhdrText);
  ParseFields();
  if (width_ > kMaxDimension || height_ > kMaxDimension) Raise<EPNGSizeExceeds>(kSizeExceedsText);
  if (compression_method_ != 0) Raise<EPNGUnknownCompression>(kUnknownCompressionText);
  if (interlace_method_ > 1) Raise<EPNGUnknownInterlace>(kUnknownInterlaceText);
  // Formats no PNG may have, and empty images, have no storage and no decoder.
  if (width_ == 0 || height_ == 0 || detail::StorageBitsFor(color_type_, bit_depth_) == 0) {
    Raise<EPngInvalidIHDR>(kInvalidIhdrText);
  }
  PrepareStorage(!OfferedToRowSink());
  return read;
}

void TChunkIHDR::ReleaseStorage() {
  pixels_.reset();
  alpha_.reset();
  indexed_ = false;
}

std::uint64_t TChunkIHDR::StorageBytes() const {
  if (!pixels_) return 0;
  const std::uint64_t pixels = std::uint64_t{height_} * static_cast<std::uint32_t>(row_stride_);
  return pixels + (alpha_ ? std::uint64_t{width_} * height_ : 0);
}

void TChunkIHDR::PrepareStorage(bool keep_pixels) {
  dib_info_ = {};
  streamed_ = !keep_pixels;
  const std::uint64_t released = StorageBytes();
  ReleaseStorage();
  if (OwnerState() != nullptr) OwnerState()->AdjustMemoryHeld(released, 0);
  const int bits = detail::StorageBitsFor(color_type_, bit_depth_);
  row_stride_ = static_cast<std::int32_t>((std::uint64_t{width_} * bits + 31) / 32 * 4);
  if (bits == 0 || width_ == 0 || height_ == 0) return;
  const std::uint64_t pixel_bytes =
      std::uint64_t{height_} * static_cast<std::uint32_t>(row_stride_);
  const std::uint64_t alpha_bytes =
      HasAlphaPlane(color_type_) ? std::uint64_t{width_} * height_ : 0;
  // Everything the image holds counts against one limit, so repeated headers cannot multiply it.
  const std::uint64_t held = OwnerState() != nullptr ? OwnerState()->MemoryHeld() : 0;
  if (pixel_bytes + alpha_bytes + held > kStorageLimit) throw EOutOfMemory();

  BitmapInfoHeader& info = dib_info_.header;
  info.size = 40;
  info.width = static_cast<std::int32_t>(width_);
  info.height = static_cast<std::int32_t>(height_);
  info.planes = 1;
  info.bit_count = static_cast<std::uint16_t>(bits);
  indexed_ = bits <= 8;
  if (streamed_) return;
  pixels_ = detail::AllocateZeroed(pixel_bytes);
  if (alpha_bytes > 0) alpha_ = detail::AllocateZeroed(alpha_bytes);
  if (OwnerState() != nullptr) {
    OwnerState()->AdjustMemoryHeld(0, StorageBytes());
    OwnerState()->DropPaletteCache();
  }
}

void TChunkIHDR::CopyFrom(const TChunk& source) {
  const auto& header = SameClass<TChunkIHDR>(source);
  TChunk::CopyFrom(source);
  width_ = header.width_;
  height_ = header.height_;
  bit_depth_ = header.bit_depth_;
  color_type_ = header.color_type_;
  compression_method_ = header.compression_method_;
  filter_method_ = header.filter_method_;
  interlace_method_ = header.interlace_method_;
  PrepareStorage();
  if (pixels_ && header.pixels_) {
    std::memcpy(pixels_.get(), header.pixels_.get(), std::uint64_t{height_} * row_stride_);
  }
  if (alpha_ && header.alpha_) {
    std::memcpy(alpha_.get(), header.alpha_.get(), std::uint64_t{width_} * height_);
  }
  dib_info_.colors = header.dib_info_.colors;
}

// ---- PLTE ----

bool TChunkPLTE::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunk::ReadBody(stream, type, length);
  if (PayloadLength() % 3 != 0 || PayloadLength() / 3 > 256) {
    Raise<EPNGInvalidPalette>(kInvalidPaletteText);
  }
  entry_count_ = static_cast<int>(PayloadLength() / 3);
  auto& colors = OwnerHeader().DibInfo().colors;
  const GammaTable& gamma = OwnerImage()->GammaMap();
  for (int i = 0; i < entry_count_; ++i) {
    const std::uint8_t* rgb = Payload() + 3 * i;
    colors[static_cast<std::size_t>(i)] = {gamma[rgb[2]], gamma[rgb[1]], gamma[rgb[0]], 0};
  }
  return read;
}

void TChunkPLTE::CopyFrom(const TChunk& source) {
  const auto& palette = SameClass<TChunkPLTE>(source);
  TChunk::CopyFrom(source);
  entry_count_ = palette.entry_count_;
}

std::uint32_t TChunkPLTE::PaletteEntry(std::uint8_t index) const {
  if (index >= entry_count_) Raise<EPngError>(kNoSuchPaletteEntryText);
  const RgbQuad& colour = OwnerHeader().DibInfo().colors[index];
  return (std::uint32_t{colour.red} << 16) | (std::uint32_t{colour.green} << 8) | colour.blue;
}

// ---- tRNS ----

bool TChunktRNS::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunk::ReadBody(stream, type, length);
  if (PayloadLength() > 256) Raise<EPNGInvalidPalette>(kInvalidPaletteText);
  entry_alpha_.fill(255);
  std::copy_n(Payload(), PayloadLength(), entry_alpha_.begin());
  switch (OwnerHeader().ColorType()) {
    case 0:
    case 2:
      single_key_ = true;
      break;
    case 3:
      single_key_ = std::count_if(entry_alpha_.begin(), entry_alpha_.begin() + PayloadLength(),
                                  [](std::uint8_t alpha) { return alpha != 255; }) == 1;
      break;
    default:
      break;
  }
  return read;
}

void TChunktRNS::CopyFrom(const TChunk& source) {
  TChunk::CopyFrom(source);
  if (const auto* transparency = dynamic_cast<const TChunktRNS*>(&source)) {
    entry_alpha_ = transparency->entry_alpha_;
    single_key_ = transparency->single_key_;
  }
}

TColor TChunktRNS::KeyColor() const {
  const auto& a = entry_alpha_;
  switch (OwnerHeader().ColorType()) {
    case 0:
      return RGB(a[1], a[1], a[1]);
    case 2:
      return RGB(a[1], a[3], a[5]);
    case 3: {
      const auto end = a.begin() + PayloadLength();
      const auto transparent = std::find(a.begin(), end, 0);
      const auto* palette = OwnerImage()->ChunkItems().FindByClass<TChunkPLTE>();
      if (transparent == end || palette == nullptr) return 0;
      const std::uint32_t colour =
          palette->PaletteEntry(static_cast<std::uint8_t>(transparent - a.begin()));
      return RGB(static_cast<std::uint8_t>(colour >> 16), static_cast<std::uint8_t>(colour >> 8),
                 static_cast<std::uint8_t>(colour));
    }
    default:
      return 0;
  }
}

// ---- gAMA ----

std::uint32_t TChunkgAMA::GammaValue() {
  if (PayloadLength() == 4) return LoadBigEndian32(Payload());
  // Data of any other length count as 1, and say so from now on.
  ResizePayload(4);
  const std::uint8_t one[4] = {0, 0, 0, 1};
  std::memcpy(MutablePayload(), one, 4);
  return 1;
}

namespace {

// The map for a gamma value: (i / 255) ^ (1 / (value / 100000 × 2.2)) × 255 in 80-bit arithmetic,
// rounded half to even.
GammaTable ComputeGammaMap(std::uint32_t value) {
  GammaTable map{};
  const long double exponent = 1.0L / (static_cast<long double>(value) / 100000.0L * 2.2L);
  for (int i = 1; i < 256; ++i) {  // a power of base 0 is 0
    const long double level = std::pow(static_cast<long double>(i) / 255.0L, exponent) * 255.0L;
    // nearbyint rounds halves to even in the default rounding mode.
    map[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::nearbyint(level));
  }
  return map;
}

// Files from one source repeat a few gamma values, and the power function is slow, so each thread
// remembers the last few maps.
const GammaTable& MapForGamma(std::uint32_t value) {
  struct Entry {
    std::uint32_t value = 0;
    GammaTable map{};
  };
  thread_local std::array<Entry, 8> cache{};
  thread_local std::size_t next = 0;
  for (const Entry& entry : cache) {
    if (entry.value == value) return entry.map;
  }
  Entry& entry = cache[next];
  next = (next + 1) % cache.size();
  entry.map = ComputeGammaMap(value);
  entry.value = value;
  return entry.map;
}

}  // namespace

bool TChunkgAMA::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunk::ReadBody(stream, type, length);
  const std::uint32_t value = GammaValue();
  if (value == 0 || OwnerImage() == nullptr) return read;
  OwnerState()->SetGammaMap(MapForGamma(value));
  return read;
}

void TChunkgAMA::CopyFrom(const TChunk& source) {
  const auto& gamma = SameClass<TChunkgAMA>(source);
  const std::uint32_t value =
      gamma.PayloadLength() == 4 ? LoadBigEndian32(gamma.Payload()) : std::uint32_t{1};
  ResizePayload(4);
  StoreBigEndian32(MutablePayload(), value);
}

// ---- tIME ----

bool TChunktIME::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunk::ReadBody(stream, type, length);
  if (PayloadLength() != 7) return read;
  const std::uint8_t* data = Payload();
  year_ = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
  month_ = data[2];
  day_ = data[3];
  hour_ = data[4];
  minute_ = data[5];
  second_ = data[6];
  return read;
}

// ---- tEXt and zTXt ----

namespace {

// The keyword (the data up to the first zero byte) and where that zero byte lies, if anywhere.
struct KeywordSplit {
  std::string keyword;
  bool has_separator = false;
};

KeywordSplit SplitKeyword(const std::uint8_t* data, std::uint32_t length) {
  const std::uint8_t* zero = std::find(data, data + length, 0);
  return {std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(zero - data)),
          zero != data + length};
}

}  // namespace

void TChunktEXt::SetText(std::string keyword, std::string text) {
  if (OwnerState() != nullptr) {
    OwnerState()->AdjustMemoryHeld(keyword_.size() + text_.size(), keyword.size() + text.size());
  }
  keyword_ = std::move(keyword);
  text_ = std::move(text);
}

bool TChunktEXt::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunk::ReadBody(stream, type, length);
  if (PayloadLength() < 3) return read;
  KeywordSplit split = SplitKeyword(Payload(), PayloadLength());
  std::string text;
  if (split.has_separator) {
    const std::size_t start = split.keyword.size() + 1;
    text.assign(reinterpret_cast<const char*>(Payload()) + start, PayloadLength() - start);
  }
  SetText(std::move(split.keyword), std::move(text));
  return read;
}

void TChunktEXt::CopyFrom(const TChunk& source) {
  if (const auto* text = dynamic_cast<const TChunktEXt*>(&source))
    SetText(text->keyword_, text->text_);
}

bool TChunkzTXt::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  const bool read = TChunktEXt::ReadBody(stream, type, length);
  if (PayloadLength() < 4) return read;
  KeywordSplit split = SplitKeyword(Payload(), PayloadLength());
  const std::size_t method_at = split.keyword.size() + 1;
  std::string text;
  if (split.has_separator && method_at < PayloadLength() && Payload()[method_at] == 0) {
    const std::size_t start = method_at + 1;
    const std::uint64_t held = OwnerState() != nullptr ? OwnerState()->MemoryHeld() : 0;
    // The raw text set above is counted too; it goes when the inflated one takes its place.
    InflateOutcome inflated = InflateWholeBuffer(Payload() + start, PayloadLength() - start,
                                                 kStorageLimit - std::min(held, kStorageLimit));
    if (inflated.success) text = std::move(inflated.output);
  }
  SetText(std::move(split.keyword), std::move(text));
  return read;
}

namespace {

// One zlib inflate stream over a buffer in memory, ended however its owner leaves.
class WholeBufferInflater {
 public:
  WholeBufferInflater(const std::uint8_t* input, std::size_t length) {
    stream_.next_in = const_cast<Bytef*>(input);
    stream_.avail_in = static_cast<uInt>(length);
    started_ = inflateInit(&stream_);
  }
  ~WholeBufferInflater() {
    if (started_ == Z_OK) inflateEnd(&stream_);
  }
  WholeBufferInflater(const WholeBufferInflater&) = delete;
  WholeBufferInflater& operator=(const WholeBufferInflater&) = delete;

  // Inflates without keeping the output, only counting it; Z_MEM_ERROR once it passes limit.
  int CountOutput(std::uint64_t limit, std::uint64_t& produced) {
    std::uint8_t work[16384];
    int result = started_;
    produced = 0;
    while (result == Z_OK) {
      stream_.next_out = work;
      stream_.avail_out = sizeof work;
      result = inflate(&stream_, Z_NO_FLUSH);
      produced += sizeof work - stream_.avail_out;
      if (produced > limit) return Z_MEM_ERROR;
    }
    return result;
  }

  // Inflates into exactly size bytes at output.
  int Fill(std::uint8_t* output, std::uint64_t size) {
    stream_.next_out = output;
    stream_.avail_out = static_cast<uInt>(size);
    int result = started_;
    while (result == Z_OK) result = inflate(&stream_, Z_NO_FLUSH);
    return result;
  }

  const char* Message() const { return stream_.msg != nullptr ? stream_.msg : ""; }

 private:
  z_stream stream_{};
  int started_ = Z_STREAM_ERROR;
};

}  // namespace

InflateOutcome InflateWholeBuffer(const std::uint8_t* input, std::size_t length,
                                  std::uint64_t limit) {
  // Two passes: the first learns the size, so the text is allocated once at its final size and no
  // growing buffer or second copy ever stands beside it.
  InflateOutcome outcome;
  std::uint64_t size = 0;
  {
    WholeBufferInflater counter(input, length);
    // A stream that asks for a preset dictionary gets the same answer for ever: a failure too.
    if (counter.CountOutput(limit, size) != Z_STREAM_END) {
      outcome.success = false;
      outcome.error_text = counter.Message();
      return outcome;
    }
  }
  outcome.output.resize(static_cast<std::size_t>(size));
  WholeBufferInflater filler(input, length);
  if (filler.Fill(reinterpret_cast<std::uint8_t*>(outcome.output.data()), size) != Z_STREAM_END) {
    outcome = InflateOutcome{false, {}, filler.Message()};
  }
  return outcome;
}

}  // namespace quillamar::png
