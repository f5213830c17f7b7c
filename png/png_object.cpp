// The PNG image: the chunk-reading loop, the chunk lists, the class registry and the CRC.
#include "png/png_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework/bytes.h"
#include "framework/descriptors.h"
#include "framework/streams.h"
#include "png/png_internal.h"

namespace quillamar::png {

std::string InflateResultDescription(int code) {
  if (code < -6 || code > 2) {
    // Appended piece by piece: g++ 12 at -O3 warns falsely about "(" + std::string&&.
    std::string text = "(";
    text += std::to_string(code);
    return text += ")";
  }
  return InflateResultTexts[static_cast<std::size_t>(code + 6)];
}

// ---- registry ----

namespace {

std::vector<const ChunkClass*>& Registry() {
  static std::vector<const ChunkClass*> registry;
  return registry;
}

// Registers the nine chunk classes at start-up, before any image exists.
const bool kChunkClassesRegistered = [] {
  RegisterChunkClass(ClassOf<TChunkIEND>());
  RegisterChunkClass(ClassOf<TChunkIHDR>());
  RegisterChunkClass(ClassOf<TChunkIDAT>());
  RegisterChunkClass(ClassOf<TChunkPLTE>());
  RegisterChunkClass(ClassOf<TChunkgAMA>());
  RegisterChunkClass(ClassOf<TChunktRNS>());
  RegisterChunkClass(ClassOf<TChunktIME>());
  RegisterChunkClass(ClassOf<TChunktEXt>());
  RegisterChunkClass(ClassOf<TChunkzTXt>());
  return true;
}();

std::string_view TypeText(const ChunkTypeBytes& type) {
  const auto* text = reinterpret_cast<const char*>(type.data());
  return {text, static_cast<std::size_t>(std::find(type.begin(), type.end(), 0) - type.begin())};
}

}  // namespace

void RegisterChunkClass(const ChunkClass& chunk_class) { Registry().push_back(&chunk_class); }

const std::vector<const ChunkClass*>& ChunkClassRegistry() {
  (void)kChunkClassesRegistered;
  return Registry();
}

std::unique_ptr<TChunk> CreateChunkForType(TPNGObject* image, const ChunkTypeBytes& type) {
  const std::string_view text = TypeText(type);
  const ChunkClass* chosen = &ClassOf<TChunk>();
  for (const ChunkClass* candidate : ChunkClassRegistry()) {
    if (candidate->type_name == text) {
      chosen = candidate;
      break;
    }
  }
  std::unique_ptr<TChunk> chunk = chosen->create(image);
  chunk->SetChunkType(type);
  return chunk;
}

// ---- TChunk ----

TChunk::TChunk(TPNGObject* owner, std::string_view type_name) : payload_(1, 0), owner_(owner) {
  if (type_name.size() == chunk_type_.size()) std::memcpy(chunk_type_.data(), type_name.data(), 4);
}

TChunk::~TChunk() = default;

void TChunk::CopyFrom(const TChunk& source) {
  chunk_type_ = source.chunk_type_;
  payload_ = source.payload_;
  payload_length_ = source.payload_length_;
}

void TChunk::ResizePayload(std::uint32_t length) {
  try {
    payload_.resize(std::size_t{length} + 1);
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory();
  }
  payload_length_ = length;
}

void TChunk::ReadPayload(TStream& stream, std::uint32_t length) {
  // The buffer grows with the bytes that actually arrive, so a length the file cannot back costs
  // no more memory than the file itself.
  constexpr std::uint32_t kFirstStep = 1 << 16;
  ResizePayload(0);
  std::uint32_t have = 0;
  while (have < length) {
    const std::uint32_t step = std::min(length - have, std::max(have, kFirstStep));
    ResizePayload(have + step);
    const std::int64_t got = stream.Read(payload_.data() + have, step);
    have += static_cast<std::uint32_t>(std::max<std::int64_t>(got, 0));
    if (got < step) {
      ResizePayload(have);
      Raise<EPngInvalidCRC>(kInvalidCrcText);  // a chunk cut short cannot pass its CRC
    }
  }
}

bool TChunk::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  ReadPayload(stream, length);
  std::uint8_t stored[4];
  if (stream.Read(stored, 4) != 4) Raise<EPngInvalidCRC>(kInvalidCrcText);
  if (detail::ChunkCrc(type, Payload(), PayloadLength()) != LoadBigEndian32(stored)) {
    Raise<EPngInvalidCRC>(kInvalidCrcText);
  }
  return true;
}

ImageState* TChunk::OwnerState() const { return owner_; }

TChunkIHDR& TChunk::OwnerHeader() const {
  if (owner_ == nullptr) Raise<EPNGHeaderNotPresent>(kHeaderNotPresentText);
  return owner_->HeaderChunk();
}

// ---- lists ----

void TPNGPointerList::SetCount(std::uint32_t count) { items_.resize(count, nullptr); }

void* TPNGPointerList::Item(std::int64_t index) const {
  if (index < 0 || index >= static_cast<std::int64_t>(items_.size())) return nullptr;
  return items_[static_cast<std::size_t>(index)];
}

void TPNGPointerList::SetItem(std::int64_t index, void* item) {
  if (index < 0 || index >= static_cast<std::int64_t>(items_.size())) return;
  items_[static_cast<std::size_t>(index)] = item;
}

void TPNGPointerList::Add(void* item) { items_.push_back(item); }

void* TPNGPointerList::Remove(void* item) {
  const auto last = std::find(items_.rbegin(), items_.rend(), item);
  if (last == items_.rend()) return nullptr;
  items_.erase(std::next(last).base());
  return item;
}

TChunk* TPNGList::FindByClass(const ChunkClass& chunk_class) const {
  for (std::uint32_t i = 0; i < Count(); ++i) {
    TChunk* chunk = Chunk(i);
    if (chunk != nullptr && chunk_class.is_instance(*chunk)) return chunk;
  }
  return nullptr;
}

// ---- TPNGObject: reading ----

namespace {

constexpr std::uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// Reads exactly n bytes of a chunk's framing; a stream that ends inside it ends the file early.
void ReadFraming(TStream& stream, std::uint8_t* bytes, std::int64_t n) {
  if (stream.Read(bytes, n) != n) Raise<EPngUnexpectedEnd>(kUnexpectedEndText);
}

bool IsUnknownCritical(const TChunk& chunk, const ChunkTypeBytes& type) {
  return &chunk.Class() == &ClassOf<TChunk>() && (type[0] & 32) == 0 && type[0] != 0;
}

}  // namespace

TPNGObject::TPNGObject() : chunk_items_(this) { ClearChunks(); }

TPNGObject::~TPNGObject() { ClearChunks(); }

void TPNGObject::ClearChunks() {
  for (int i = 0; i < 256; ++i)
    gamma_map_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  chunk_items_.SetCount(0);
  owned_chunks_.clear();
  memory_held_ = 0;
}

TChunk& TPNGObject::AppendChunk(std::unique_ptr<TChunk> chunk) {
  TChunk& added = *chunk;
  owned_chunks_.push_back(std::move(chunk));
  chunk_items_.Add(&added);
  return added;
}

const ReadOptions TPNGObject::kDefaultOptions;

void TPNGObject::LoadFile(const std::string& path, const ReadOptions& options) {
  TFileStream stream(path, FileMode::kOpenReadDenyWrite);
  ReadImage(stream, options);
}

void TPNGObject::ReadImage(TStream& stream, const ReadOptions& options) {
  // The options hold for this reading only, however it ends.
  struct OptionsInForce {
    const ReadOptions*& slot;
    ~OptionsInForce() { slot = &kDefaultOptions; }
  } in_force{options_};
  options_ = &options;
  ClearChunks();
  std::uint8_t signature[8];
  if (stream.Read(signature, 8) != 8 || std::memcmp(signature, kSignature, 8) != 0) {
    Raise<EPNGInvalidFileHeader>(kInvalidFileHeaderText);
  }
  try {
    ReadChunks(stream);
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory();  // whatever part of the file asked for the memory
  }
}

void TPNGObject::ReadChunks(TStream& stream) {
  bool image_data = false;
  for (bool first = true;; first = false) {
    std::uint8_t length_bytes[4];
    ChunkTypeBytes type;
    ReadFraming(stream, length_bytes, 4);
    ReadFraming(stream, type.data(), 4);
    if (first && type != detail::kTypeIHDR) Raise<EPNGIHDRNotFirst>(kIhdrNotFirstText);
    const std::uint32_t length = LoadBigEndian32(length_bytes);
    if (length > kMaxChunkLength) Raise<EPngInvalidCRC>(kInvalidCrcText);
    if (type == detail::kTypeCHRM || (image_data && type == detail::kTypeIDAT)) {
      stream.Seek(std::int64_t{length} + 4, SeekOrigin::kCurrent);
      continue;
    }
    image_data = image_data || type == detail::kTypeIDAT;
    TChunk& chunk = AppendChunk(CreateChunkForType(this, type));
    if (IsUnknownCritical(chunk, type)) Raise<EPNGUnknownCriticalChunk>(kUnknownCriticalChunkText);
    if (!chunk.ReadBody(stream, type, length) || type == detail::kTypeIEND) break;
  }
  if (!image_data) Raise<EPNGNoImageData>(kNoImageDataText);
}

// ---- TPNGObject: queries ----

bool TPNGObject::HasHeader() const {
  return dynamic_cast<const TChunkIHDR*>(chunk_items_.Chunk(0)) != nullptr;
}

TChunkIHDR& TPNGObject::HeaderChunk() {
  auto* header = dynamic_cast<TChunkIHDR*>(chunk_items_.Chunk(0));
  if (header == nullptr) Raise<EPNGHeaderNotPresent>(kHeaderNotPresentText);
  return *header;
}

const TChunkIHDR& TPNGObject::HeaderChunk() const {
  return const_cast<TPNGObject*>(this)->HeaderChunk();
}

int TPNGObject::Width() const { return HasHeader() ? static_cast<int>(HeaderChunk().Width()) : 0; }

int TPNGObject::Height() const {
  return HasHeader() ? static_cast<int>(HeaderChunk().Height()) : 0;
}

void TPNGObject::SetWidth(int) { Raise<EPngError>(kCannotResizeText); }
void TPNGObject::SetHeight(int) { Raise<EPngError>(kCannotResizeText); }

TAlphaKind TPNGObject::AlphaKind() const {
  const TChunkIHDR& header = HeaderChunk();
  const auto* transparency = chunk_items_.FindByClass<TChunktRNS>();
  switch (header.ColorType()) {
    case 0:
    case 2:
      return transparency != nullptr ? akColorKey : akNone;
    case 3:
      if (transparency == nullptr) return akNone;
      return transparency->SingleKey() ? akColorKey : akAlpha;
    case 4:
    case 6:
      return akAlpha;
    default:
      return akNone;
  }
}

TColor TPNGObject::ImageKeyColor() const {
  const auto* transparency = chunk_items_.FindByClass<TChunktRNS>();
  return transparency != nullptr ? transparency->KeyColor() : 0;
}

std::uint8_t* TPNGObject::RowAddress(int y) const {
  const TChunkIHDR& header = HeaderChunk();
  if (header.PixelBits() == nullptr) return nullptr;
  return header.StorageRow(static_cast<std::uint32_t>(y));
}

std::uint32_t FilteredRowBytesFor(std::uint32_t width, std::uint8_t bit_depth,
                                  std::uint8_t color_type) {
  const std::uint64_t bits = std::uint64_t{width} * bit_depth;
  switch (color_type) {
    case 0:
    case 3:
      return static_cast<std::uint32_t>((bits + 7) / 8);
    case 2:
      return static_cast<std::uint32_t>(bits * 3 / 8);
    case 4:
      return static_cast<std::uint32_t>(bits * 2 / 8);
    case 6:
      return static_cast<std::uint32_t>(bits * 4 / 8);
    default:
      return 0;
  }
}

std::uint32_t FilterStrideFor(std::uint8_t bit_depth, std::uint8_t color_type) {
  switch (color_type) {
    case 0:
      return bit_depth == 16 ? 2 : 1;
    case 3:
      return 1;
    case 2:
      return bit_depth * 3u / 8;
    case 4:
      return bit_depth * 2u / 8;
    case 6:
      return bit_depth * 4u / 8;
    default:
      return 0;
  }
}

std::uint32_t TPNGObject::FilteredRowBytes() const {
  if (!HasHeader()) return 0;
  const TChunkIHDR& header = HeaderChunk();
  return FilteredRowBytesFor(header.Width(), header.BitDepth(), header.ColorType());
}

std::uint32_t TPNGObject::FilterStride() const {
  if (!HasHeader()) return 0;
  const TChunkIHDR& header = HeaderChunk();
  return FilterStrideFor(header.BitDepth(), header.ColorType());
}

const LogicalPalette* TPNGObject::Palette() const {
  const TChunkIHDR& header = HeaderChunk();
  const bool indexed_colours = header.ColorType() == 0 || header.ColorType() == 3;
  if (indexed_colours && !palette_cache_) {
    auto palette = std::make_unique<LogicalPalette>();
    for (std::size_t i = 0; i < palette->entries.size(); ++i) {
      const RgbQuad& colour = header.DibInfo().colors[i];
      palette->entries[i] = {colour.red, colour.green, colour.blue, 0};
    }
    palette_cache_ = std::move(palette);
  }
  return palette_cache_.get();
}

// ---- TPNGObject: copying ----

void TPNGObject::Assign(const TGraphic& source) {
  if (const auto* image = dynamic_cast<const TPNGObject*>(&source)) {
    CopyImage(*image);
    return;
  }
  TGraphic::Assign(source);
}

void TPNGObject::CopyImage(const TPNGObject& source) {
  if (&source == this) return;
  ClearChunks();
  interlace_method_ = source.interlace_method_;
  gamma_map_ = source.gamma_map_;
  for (std::uint32_t i = 0; i < source.chunk_items_.Count(); ++i) {
    const TChunk& original = *source.chunk_items_.Chunk(i);
    AppendChunk(original.Class().create(this)).CopyFrom(original);
  }
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> PeekImageSize(const std::string& path) {
  // Without waiting on a named pipe, which would block the open.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  std::uint8_t start[24] = {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      ::pread(fd.Get(), start, sizeof start, 0) != sizeof start) {
    return std::nullopt;
  }
  // The signature, the header's length and type, then its width and height.
  return std::make_pair(LoadBigEndian32(start + 16), LoadBigEndian32(start + 20));
}

}  // namespace quillamar::png
