// Image data decoding: IDAT splitting, row filters, the seven-pass walk, the converters, data that
// end early, and every variant of the vectorised row routines against plain C.
#include <gtest/gtest.h>

#include <random>

#include "framework/cpu.h"
#include "pagerender/paper.h"
#include "pagerender/png_stored.h"
#include "png/png_convert.h"
#include "png/png_filters.h"
#include "png/png_object.h"
#include "support/named_cases.h"
#include "tests/png/png_builder.h"

namespace quillamar::png {
namespace {

using namespace testing;  // the test-side PNG writer

using quillamar::testing::PrintTo;  // table rows print as their names

using Bytes = std::vector<std::uint8_t>;

struct Format {
  int color_type;
  int depth;
};

int Channels(int color_type) {
  static const int kChannels[] = {1, 0, 3, 1, 2, 0, 4};
  return kChannels[color_type];
}

// Samples of one row packed as the format stores them in a PNG row.
std::string PackRow(const Format& format, const std::vector<std::uint32_t>& samples) {
  std::string out;
  if (format.depth >= 8) {
    for (const std::uint32_t s : samples) {
      if (format.depth == 16) out += static_cast<char>(s >> 8);
      out += static_cast<char>(s);
    }
    return out;
  }
  out.assign((samples.size() * format.depth + 7) / 8, '\0');
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t bit = i * format.depth;
    out[bit / 8] = static_cast<char>(out[bit / 8] | (samples[i] << (8 - format.depth - bit % 8)));
  }
  return out;
}

// Random samples for width × height pixels.
std::vector<std::vector<std::uint32_t>> RandomImage(const Format& format, int width, int height,
                                                    unsigned seed) {
  std::mt19937 random(seed);
  const int channels = Channels(format.color_type);
  std::vector<std::vector<std::uint32_t>> rows(height);
  for (auto& row : rows) {
    for (int i = 0; i < width * channels; ++i) row.push_back(random() & ((1u << format.depth) - 1));
  }
  return rows;
}

struct PassShape {
  int first_row, first_column, row_step, column_step;
};
const PassShape kPasses[] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                             {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};

// Unfiltered PNG rows of the image, in sequential or seven-pass order.
std::string RawRows(const Format& format, const std::vector<std::vector<std::uint32_t>>& image,
                    int width, bool interlaced) {
  const int channels = Channels(format.color_type);
  std::string raw;
  if (!interlaced) {
    for (const auto& row : image) raw += '\0' + PackRow(format, row);
    return raw;
  }
  for (const PassShape& pass : kPasses) {
    if (pass.first_column >= width) continue;
    for (std::size_t y = pass.first_row; y < image.size(); y += pass.row_step) {
      std::vector<std::uint32_t> samples;
      for (int x = pass.first_column; x < width; x += pass.column_step) {
        for (int c = 0; c < channels; ++c) samples.push_back(image[y][x * channels + c]);
      }
      raw += '\0' + PackRow(format, samples);
    }
  }
  return raw;
}

std::string Encode(const Format& format, int width, int height, const std::string& raw,
                   bool interlaced, std::size_t piece = 0) {
  return PngBuilder()
      .Ihdr(width, height, format.depth, format.color_type, interlaced ? 1 : 0)
      .Chunk("PLTE", std::string(768, '\x11'))
      .Idat(Deflate(raw), piece)
      .Iend()
      .Bytes();
}

// Every storage row, then the alpha plane.
Bytes Storage(const TPNGObject& image) {
  Bytes all;
  for (int y = 0; y < image.Height(); ++y) {
    const Bytes row = StorageRow(image, y);
    all.insert(all.end(), row.begin(), row.end());
  }
  if (const std::uint8_t* alpha = image.HeaderChunk().AlphaPlane()) {
    all.insert(all.end(), alpha, alpha + image.Width() * image.Height());
  }
  return all;
}

Bytes Decode(const std::string& file) {
  TPNGObject image;
  ReadBytes(image, file);
  return Storage(image);
}

// ---- seven passes against sequential rows ----

const Format kFormats[] = {{0, 1}, {0, 2}, {0, 4},  {0, 8}, {0, 16}, {3, 1}, {3, 2}, {3, 4},
                           {3, 8}, {2, 8}, {2, 16}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

class PngInterlace : public ::testing::TestWithParam<Format> {};

TEST_P(PngInterlace, SevenPassesFillTheSameStorageAsSequentialRows) {
  const Format format = GetParam();
  for (int width = 1; width <= 10; ++width) {
    for (int height = 1; height <= 10; height += 3) {
      const auto image = RandomImage(format, width, height, width * 31 + height);
      const Bytes sequential =
          Decode(Encode(format, width, height, RawRows(format, image, width, false), false));
      const Bytes interlaced =
          Decode(Encode(format, width, height, RawRows(format, image, width, true), true));
      ASSERT_EQ(interlaced, sequential) << width << " x " << height;
    }
  }
}

std::string FormatName(const ::testing::TestParamInfo<Format>& info) {
  return "Type" + std::to_string(info.param.color_type) + "Depth" +
         std::to_string(info.param.depth);
}

INSTANTIATE_TEST_SUITE_P(Formats, PngInterlace, ::testing::ValuesIn(kFormats), FormatName);

// ---- splitting the zlib stream over chunks ----

struct SplitCase {
  const char* name;
  std::function<std::string(const std::string& zlib)> chunks;  // the IDAT chunks for the stream
};

std::string Idats(std::initializer_list<std::string> pieces) {
  PngBuilder builder;
  for (const std::string& piece : pieces) builder.Chunk("IDAT", piece);
  return builder.Bytes().substr(8);
}

const SplitCase kSplitCases[] = {
    {"OneChunk", [](const std::string& z) { return Idats({z}); }},
    {"OneBytePerChunk",
     [](const std::string& z) {
       std::string all;
       for (const char c : z) all += Idats({std::string(1, c)});
       return all;
     }},
    {"EmptyChunkInsideARow",
     [](const std::string& z) {
       return Idats({z.substr(0, 9), "", z.substr(9)});
     }},
    {"CutInsideZlibHeader",
     [](const std::string& z) {
       return Idats({z.substr(0, 1), z.substr(1)});
     }},
    {"CutInsideChecksum",
     [](const std::string& z) {
       return Idats({z.substr(0, z.size() - 2), z.substr(z.size() - 2)});
     }},
    {"TrailerAloneWithWrongCrcIsNeverRead",
     [](const std::string& z) {
       return Idats({z.substr(0, z.size() - 4)}) +
              PngBuilder().ChunkWithCrc("IDAT", z.substr(z.size() - 4), 0).Bytes().substr(8);
     }},
};

class PngSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(PngSplit, SameImageWhereverTheStreamIsCut) {
  const Format format{2, 8};
  const auto image = RandomImage(format, 7, 5, 3);
  const std::string zlib = Deflate(RawRows(format, image, 7, false));
  const std::string whole = PngBuilder().Ihdr(7, 5, 8, 2).Idat(zlib).Iend().Bytes();
  const std::string split =
      PngBuilder().Ihdr(7, 5, 8, 2).Raw(GetParam().chunks(zlib)).Iend().Bytes();
  EXPECT_EQ(Decode(split), Decode(whole));
}

QUILLAMAR_TABLE_TESTS(Cuts, PngSplit, kSplitCases);

TEST(PngSplitLarge, ChunkLongerThanOneRefillWithItsRestReadIntoTheCrc) {
  const Format format{2, 8};
  const auto image = RandomImage(format, 100, 300, 5);
  const std::string raw = RawRows(format, image, 100, false);
  const std::string stored = PngBuilder().Ihdr(100, 300, 8, 2).Idat(Deflate(raw, 0)).Iend().Bytes();
  ASSERT_GT(stored.size(), 65535u * 1.3);
  EXPECT_EQ(Decode(stored), Decode(Encode(format, 100, 300, raw, false)));
}

// ---- filters ----

int PaethOf(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// The row as filter type would encode it against the previous raw row (every variant of the
// reversal is checked against it below).
std::string FilterRow(int type, const std::string& row, const std::string& prior, int stride) {
  std::string out(1, static_cast<char>(type));
  for (std::size_t i = 0; i < row.size(); ++i) {
    const int x = static_cast<std::uint8_t>(row[i]);
    const int a =
        i >= static_cast<std::size_t>(stride) ? static_cast<std::uint8_t>(row[i - stride]) : 0;
    const int b = static_cast<std::uint8_t>(prior[i]);
    const int c =
        i >= static_cast<std::size_t>(stride) ? static_cast<std::uint8_t>(prior[i - stride]) : 0;
    const int predicted[] = {0, a, b, (a + b) / 2, PaethOf(a, b, c)};
    out += static_cast<char>(x - predicted[type]);
  }
  return out;
}

struct FilterCase {
  const char* name;
  std::string rows;  // filtered rows of a 3-pixel 8-bit grey image
  Bytes last_row;    // the storage of its last row
};

const FilterCase kFilterCases[] = {
    // above 200 and left 100 add 150, not the 22 an 8-bit sum would give
    {"AverageAddsWithoutOverflow", std::string("\0\xc8\xc8\xc8\3\0\0\0", 8), {100, 150, 175}},
    {"FirstRowUpLeavesIt", std::string("\2\5\6\7", 4), {5, 6, 7}},
    {"FirstRowPaethActsAsSub", std::string("\4\5\6\7", 4), {5, 11, 18}},
    {"FirstRowAverageAddsHalfTheLeft", std::string("\3\4\6\7", 4), {4, 8, 11}},
    {"UnknownTypeTakenAsStored", std::string("\7\5\6\7", 4), {5, 6, 7}},
};

class PngFilterFigures : public ::testing::TestWithParam<FilterCase> {};

TEST_P(PngFilterFigures, LastRowAsExpected) {
  const std::string& rows = GetParam().rows;
  const int height = static_cast<int>(rows.size() / 4);
  TPNGObject image;
  ReadBytes(image, PngBuilder().Ihdr(3, height, 8, 0).Idat(Deflate(rows)).Iend().Bytes());
  const Bytes row = StorageRow(image, height - 1);
  EXPECT_EQ(Bytes(row.begin(), row.begin() + 3), GetParam().last_row);
}

QUILLAMAR_TABLE_TESTS(Figures, PngFilterFigures, kFilterCases);

// ---- converters ----

struct ConvertCase {
  const char* name;
  Format format;
  int width;
  std::string row;          // after its filter byte
  Bytes storage;            // the first bytes of the storage row
  Bytes alpha;              // the alpha row, when the format has one
  std::string chunks = {};  // before the image data
};

const ConvertCase kConvertCases[] = {
    {"Rgb8ToBlueGreenRed", {2, 8}, 1, "\x0a\x14\x1e", {30, 20, 10}, {}},
    {"Rgb16KeepsHighBytes",
     {2, 16},
     1,
     std::string("\x12\xff\x34\x00\x56\x01", 6),
     {0x56, 0x34, 0x12},
     {}},
    {"Grey16KeepsHighByte", {0, 16}, 2, "\x12\xff\xab\x01", {0x12, 0xab}, {}},
    {"Grey2WidensToFiveTimes", {0, 2}, 4, "\x1b", {0x05, 0xaf}, {}},
    {"Palette2KeepsIndexes", {3, 2}, 4, "\x1b", {0x01, 0x23}, {}},
    {"Palette1CopiedAsIs", {3, 1}, 8, "\xa5", {0xa5}, {}},
    {"GreyAlpha16KeepsHighBytes", {4, 16}, 1, "\xab\xcd\x12\x34", {0xab}, {0x12}},
    {"RgbAlpha8SplitsAlpha",
     {6, 8},
     2,
     std::string("\x01\x02\x03\x80\x04\x05\x06\x00", 8),
     {3, 2, 1, 6, 5, 4},
     {0x80, 0}},
    // 255 × (128/255)^(1/2.2) = 186: the colour goes through the gamma map, the alpha does not.
    {"RgbAlpha8GammaMapsColourOnly",
     {6, 8},
     1,
     "\x80\x80\x80\x80",
     {186},
     {128},
     ChunkBytes("gAMA", BigEndian(100000))},
};

class PngConverters : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(PngConverters, OneRowIntoStorage) {
  const ConvertCase& c = GetParam();
  TPNGObject image;
  ReadBytes(image, PngBuilder()
                       .Ihdr(c.width, 1, c.format.depth, c.format.color_type)
                       .Raw(c.chunks)
                       .Idat(Deflate('\0' + c.row))
                       .Iend()
                       .Bytes());
  const Bytes row = StorageRow(image, 0);
  EXPECT_EQ(Bytes(row.begin(), row.begin() + c.storage.size()), c.storage);
  if (!c.alpha.empty()) {
    const std::uint8_t* alpha = image.HeaderChunk().AlphaPlane();
    EXPECT_EQ(Bytes(alpha, alpha + c.alpha.size()), c.alpha);
  }
}

QUILLAMAR_TABLE_TESTS(Rows, PngConverters, kConvertCases);

struct RampCase {
  const char* name;
  int depth;
  int levels;  // colour-table greys before gamma, evenly spaced from 0 to 255
};

// Two bits take sixteen levels, as four do.
const RampCase kRampCases[] = {{"OneBit", 1, 2}, {"TwoBit", 2, 16}, {"FourBit", 4, 16}};

class PngGreyRamp : public ::testing::TestWithParam<RampCase> {};

TEST_P(PngGreyRamp, EvenLevelsThroughTheGammaMap) {
  TPNGObject image;
  ReadBytes(image, PngBuilder()
                       .Ihdr(1, 1, GetParam().depth, 0)
                       .Chunk("gAMA", BigEndian(100000))
                       .Idat(Deflate(std::string(2, '\0')))
                       .Iend()
                       .Bytes());
  const auto& colors = image.HeaderChunk().DibInfo().colors;
  const int levels = GetParam().levels;
  for (int i = 0; i < levels; ++i) {
    const std::uint8_t grey = image.GammaMap()[i * 255 / (levels - 1)];
    EXPECT_EQ(colors[i].red, grey) << i;
    EXPECT_EQ(colors[i].blue, grey) << i;
  }
  EXPECT_EQ(colors[levels].red, 0);  // the rest of the table stays black
}

QUILLAMAR_TABLE_TESTS(Depths, PngGreyRamp, kRampCases);

// ---- data that end early ----

TEST(PngEarlyEnd, ZlibStreamEndingWhileRowsAreOwedLeavesThemZero) {
  TPNGObject image;
  ReadBytes(
      image,
      PngBuilder().Ihdr(4, 3, 8, 0).Idat(Deflate(std::string("\0abcd\2\1\1", 8))).Iend().Bytes());
  EXPECT_EQ(StorageRow(image, 0), (Bytes{'a', 'b', 'c', 'd'}));
  EXPECT_EQ(StorageRow(image, 1), (Bytes{'b', 'c', 0, 0}));  // Up on what came, zero for the rest
  EXPECT_EQ(StorageRow(image, 2), (Bytes{0, 0, 0, 0}));
}

TEST(PngEarlyEnd, FileCutInsideTheDataKeepsWhatWasDecoded) {
  const std::string raw = std::string("\0abcd", 5) + std::string(400, '\0');
  const std::string file = PngBuilder().Ihdr(4, 81, 8, 0).Idat(Deflate(raw, 0)).Iend().Bytes();
  TPNGObject image;
  EXPECT_THROW(ReadBytes(image, file.substr(0, 33 + 8 + 2 + 5 + 30)), EPngInvalidCRC);
  EXPECT_EQ(StorageRow(image, 0), (Bytes{'a', 'b', 'c', 'd'}));
}

// ---- rows streamed instead of kept ----

// Rows with their filter bytes (a different filter on each row), the data of an IDAT stream.
std::string FilteredRows(std::uint32_t rows, std::uint32_t row_bytes) {
  std::string raw;
  for (std::uint32_t y = 0; y < rows; ++y) {
    raw += static_cast<char>(y % 5);
    for (std::uint32_t i = 0; i < row_bytes; ++i) raw += static_cast<char>(i * 13 + y * 7);
  }
  return raw;
}

std::string PngOf(std::uint32_t width, std::uint32_t height, int depth, int colour, int interlace,
                  std::uint32_t rows_given, std::string_view extra_type = {},
                  std::string_view extra = {}) {
  PngBuilder png;
  png.Ihdr(width, height, depth, colour, interlace);
  if (!extra_type.empty()) png.Chunk(extra_type, extra);
  const std::uint32_t row_bytes = width * Channels(colour) * depth / 8;
  return png.Idat(Deflate(FilteredRows(rows_given, row_bytes))).Iend().Bytes();
}

class RecordingRows : public RowSink {
 public:
  explicit RecordingRows(bool takes) : takes_(takes) {}
  bool TakesRows(const TChunkIHDR& header) override {
    ++asked;
    row_bytes_ = header.Width() * 3;
    return takes_;
  }
  void Row(const std::uint8_t* pixels) override { rows.emplace_back(pixels, pixels + row_bytes_); }

  int asked = 0;
  std::vector<Bytes> rows;

 private:
  bool takes_;
  std::uint32_t row_bytes_ = 0;
};

// A storage row's pixels in the file's order: red, green, blue.
Bytes InFileOrder(Bytes storage_row, int width) {
  storage_row.resize(static_cast<std::size_t>(width) * 3);
  for (std::size_t k = 0; k < storage_row.size(); k += 3)
    std::swap(storage_row[k], storage_row[k + 2]);
  return storage_row;
}

struct StreamCase {
  const char* name;
  std::string png;
  bool offered;
  bool takes = true;
};

const StreamCase kStreamCases[] = {
    {"Rgb8", PngOf(5, 4, 8, 2, 0, 4), true},
    {"Rgb16WithGamma", PngOf(3, 3, 16, 2, 0, 3, "gAMA", BigEndian(80000)), true},
    {"Rgb8WithGamma", PngOf(13, 2, 8, 2, 0, 2, "gAMA", BigEndian(80000)), true},
    {"Rgb8DataEndingEarly", PngOf(5, 4, 8, 2, 0, 2), true},  // the rows left out come as zeros
    {"Rgb8Declined", PngOf(5, 4, 8, 2, 0, 4), true, /*takes=*/false},
    {"Interlaced", PngOf(5, 4, 8, 2, 1, 8), false},
    {"Grey", PngOf(5, 4, 8, 0, 0, 4), false},
    {"RgbAlpha", PngOf(5, 4, 8, 6, 0, 4), false},
};

class RowSinkTest : public ::testing::TestWithParam<StreamCase> {};

// A sink that takes the rows gets every row the storage would hold, in the file's order, and the
// image keeps none; rows not offered or declined are kept.
TEST_P(RowSinkTest, TakesTheRowsTheStorageWouldHold) {
  TPNGObject kept;
  ReadBytes(kept, GetParam().png);
  const int height = kept.Height();
  TPNGObject streamed;
  RecordingRows sink(GetParam().takes);
  ReadBytes(streamed, GetParam().png, ReadOptions{&sink});
  const bool taken = GetParam().offered && GetParam().takes;
  EXPECT_EQ(sink.asked, GetParam().offered ? 1 : 0);
  EXPECT_EQ(streamed.HeaderChunk().RowsStreamed(), taken);
  for (int y = 0; y < height; ++y) {
    const Bytes expected = StorageRow(kept, y);
    if (taken) {
      ASSERT_EQ(sink.rows.size(), static_cast<std::size_t>(height));
      EXPECT_EQ(sink.rows[static_cast<std::size_t>(y)], InFileOrder(expected, kept.Width()))
          << "row " << y;
    } else {
      EXPECT_EQ(StorageRow(streamed, y), expected) << "row " << y;
    }
  }
  EXPECT_EQ(streamed.HeaderChunk().PixelBits() == nullptr, taken);
  EXPECT_EQ(sink.rows.empty(), !taken);
}

QUILLAMAR_TABLE_TESTS(Png, RowSinkTest, kStreamCases);

// ---- every variant of the vectorised routines against plain C ----

// Random bytes in runs of one kind each (any bytes, one byte repeated, 0, 255), so that flat
// stretches such as grey pixels, untouched paper and opaque paint come up as well as noise.
std::string RandomRuns(std::size_t size, std::mt19937& random) {
  std::string bytes;
  while (bytes.size() < size) {
    const std::size_t run = std::min<std::size_t>(1 + random() % 64, size - bytes.size());
    const std::uint32_t kind = random() % 4;
    const auto same = static_cast<char>(kind == 2 ? 0 : kind == 3 ? 255 : random());
    for (std::size_t i = 0; i < run; ++i) bytes += kind == 0 ? static_cast<char>(random()) : same;
  }
  return bytes;
}

std::uint8_t* Data(std::string& bytes) { return reinterpret_cast<std::uint8_t*>(bytes.data()); }

// One routine on random input for a width (and a kind of input): all it writes, as bytes.
struct SimdRoutine {
  const char* name;
  CpuFeature widest;  // what its widest variant needs
  int kinds;
  std::string (*run)(int width, int kind, std::mt19937& random);
};

constexpr int kPixelBits[] = {1, 2, 4, 8, 16, 24, 32, 48, 64};  // of every type and bit depth

const SimdRoutine kSimdRoutines[] = {
    // 17 bytes a unit of width: every length modulo 16, past the 256 bytes where the widest
    // folding starts, at any alignment, in two calls that carry the register from a random start
    {"Crc", CpuFeature::kWideCarrylessMultiply, 1,
     [](int width, int, std::mt19937& random) {
       std::string bytes = RandomRuns(17 * width + 7, random);
       const std::uint8_t* run = Data(bytes) + width % 7;
       const std::size_t size = 17 * width, split = size / 3;
       return BigEndian(Crc32Update(Crc32Update(random(), run, split), run + split, size - split));
     }},
    // each filter type (kind % 5) on pixels of each size (kind / 5) gives back the row that
    // FilterRow encoded; the slack after it stays as it was
    {"Unfilter", CpuFeature::kSse2, 5 * std::size(kPixelBits),
     [](int width, int kind, std::mt19937& random) {
       const int bits = kPixelBits[kind / 5], stride = std::max(1, bits / 8);
       const std::size_t length = (std::size_t{1} * width * bits + 7) / 8;
       std::string prior = RandomRuns(length + detail::kFilterSlack, random);
       const std::string raw = RandomRuns(length, random);
       std::string row = FilterRow(kind % 5, raw, prior, stride).substr(1) +
                         RandomRuns(detail::kFilterSlack, random);
       detail::ReverseFilter(kind % 5, Data(row), Data(prior), length, stride);
       EXPECT_EQ(row.substr(0, length), raw) << "width " << width << ", kind " << kind;
       return row;
     }},
    // kind 1 in place, kind 0 into the next row; the 16 bytes after the rows must stay
    {"SwapRedBlue", CpuFeature::kSsse3, 2,
     [](int width, int in_place, std::mt19937& random) {
       std::string rows = RandomRuns(6 * width + 16, random);
       detail::SwapRedBlue(Data(rows), Data(rows) + (in_place ? 0 : 3 * width), width);
       return rows;
     }},
    {"IdentityGreyColours", CpuFeature::kSsse3, 1,
     [](int width, int, std::mt19937& random) {
       TPNGObject image;
       ReadBytes(image, PngOf(width, 1, 8, 0, 0, 1));
       std::string colours = RandomRuns(3 * width + 16, random);  // 16 bytes after it must stay
       image.ColourRow(0, Data(colours));
       return colours;
     }},
    // kind 0 a grey row, 1 the same with one byte changed, 2 any colours; greys only of a grey row
    {"TakeGreyRow", CpuFeature::kSsse3, 3,
     [](int width, int kind, std::mt19937& random) {
       std::string pixels;
       for (const char grey : RandomRuns(width, random)) pixels.append(3, grey);
       if (kind == 1) pixels[random() % pixels.size()] ^= static_cast<char>(1 << random() % 8);
       if (kind == 2) pixels = RandomRuns(3 * width, random);
       std::string grey(width, '\0');
       return pagerender::TakeGreyRow(Data(pixels), width, Data(grey)) ? grey : "coloured";
     }},
    // the pixels laid once and twice, each the painter's rounding of (white (255 - a) + paint a)
    // / 255; the coverage left behind is each variant's own
    {"LayOnWhitePaper", CpuFeature::kSsse3, 1,
     [](int width, int, std::mt19937& random) {
       std::string pixels = RandomRuns(3 * width, random);
       std::string alpha = RandomRuns(width, random);
       std::string mixed = pixels;
       for (std::size_t i = 0; i < mixed.size(); ++i) {
         const unsigned a = Data(alpha)[i / 3], x = 255 * (255 - a) + Data(pixels)[i] * a;
         mixed[i] = static_cast<char>((x + (x >> 8) + 0x80) >> 8);
       }
       for (int laid = 1; laid <= 2; ++laid) {
         pagerender::LayRowOnWhitePaper(Data(pixels), Data(alpha), width);
         EXPECT_EQ(pixels, mixed) << "width " << width << ", laid " << laid << " times";
       }
       return pixels;
     }},
};

class SimdVariants : public ::testing::TestWithParam<SimdRoutine> {
  void TearDown() override { LimitCpuFeatures(kCpuFeatureCount); }
};

// Each narrower variant the processor can run writes what the plain C one writes, at every width
// from 1 to 67 (every tail after whole vectors).
TEST_P(SimdVariants, EachVariantWritesWhatPlainCWrites) {
  const SimdRoutine& routine = GetParam();
  for (int width = 1; width <= 67; ++width) {
    for (int kind = 0; kind < routine.kinds; ++kind) {
      const auto output = [&](int features) {
        LimitCpuFeatures(features);
        std::mt19937 random(width * 100 + kind);  // the same input under every limit
        return routine.run(width, kind, random);
      };
      const std::string plain = output(0);
      for (int features = 1; features <= static_cast<int>(routine.widest) + 1; ++features) {
        LimitCpuFeatures(kCpuFeatureCount);
        if (!HasCpuFeature(static_cast<CpuFeature>(features - 1))) continue;  // not on this one
        ASSERT_EQ(output(features), plain)
            << "width " << width << ", kind " << kind << ", the first " << features << " features";
      }
    }
  }
}

QUILLAMAR_TABLE_TESTS(Routines, SimdVariants, kSimdRoutines);

}  // namespace
}  // namespace quillamar::png
