// Every PngSuite image, read and handed to a bitmap as the page re-encoder does, against libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <typeinfo>

#include "framework/bytes.h"
#include "framework/exceptions.h"
#include "png/png_object.h"
#include "support/temp_dir.h"

namespace quillamar::png {
namespace {

namespace fs = std::filesystem;

const fs::path kSuite = fs::path(QUILLAMAR_TESTDATA) / "pngsuite";

std::uint32_t Be32(const std::string& bytes, std::size_t at) {
  return LoadBigEndian32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
}

/// Where the file's gamma takes effect: the map, and whether it came before the palette and
/// before the image data.
struct GammaPlacement {
  std::array<std::uint8_t, 256> map{};
  bool before_palette = false;
  bool before_data = false;
};

std::array<std::uint8_t, 256> PowerMap(std::uint32_t value) {
  std::array<std::uint8_t, 256> map{};
  for (int i = 0; i < 256; ++i) {
    const long double exponent = 1.0L / (value / 100000.0L * 2.2L);
    map[i] = static_cast<std::uint8_t>(std::nearbyint(powl(i / 255.0L, exponent) * 255.0L));
  }
  return map;
}

GammaPlacement FindGamma(const std::string& bytes) {
  GammaPlacement placement;
  for (int i = 0; i < 256; ++i) placement.map[i] = static_cast<std::uint8_t>(i);
  bool palette_seen = false;
  for (std::size_t at = 8; at + 8 <= bytes.size();) {
    const std::uint32_t length = Be32(bytes, at);
    const std::string type = bytes.substr(at + 4, 4);
    if (type == "IDAT") break;
    if (type == "PLTE") palette_seen = true;
    if (type == "gAMA" && length == 4 && Be32(bytes, at + 8) != 0) {
      placement.map = PowerMap(Be32(bytes, at + 8));
      placement.before_palette = !palette_seen;
      placement.before_data = true;
    }
    at += 12 + length;
  }
  return placement;
}

/// Bottom-up 24-bit blue-green-red rows as a bitmap holds them.
struct Raster {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgr;  // top-down, 3 bytes per pixel, no padding
};

// libpng reads the samples (16 bits stripped to their high byte, packed samples one per byte,
// interlace undone); the colours then follow the reader's rules.
std::optional<Raster> ReferenceDecode(const fs::path& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  Raster raster;
  std::vector<std::uint8_t> samples;
  std::vector<png_bytep> rows;
  int channels = 0;
  int color_type = 0;
  int bit_depth = 0;
  png_colorp palette = nullptr;
  int palette_size = 0;
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return std::nullopt;
  }
  png_set_benign_errors(png, 1);
  png_init_io(png, file);
  png_read_info(png, info);
  color_type = png_get_color_type(png, info);
  bit_depth = png_get_bit_depth(png, info);
  if (bit_depth == 16) png_set_strip_16(png);
  if (bit_depth < 8) png_set_packing(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  raster.width = static_cast<int>(png_get_image_width(png, info));
  raster.height = static_cast<int>(png_get_image_height(png, info));
  channels = png_get_channels(png, info);
  png_get_PLTE(png, info, &palette, &palette_size);
  const std::size_t row_bytes = png_get_rowbytes(png, info);
  samples.resize(row_bytes * raster.height);
  for (int y = 0; y < raster.height; ++y) rows.push_back(samples.data() + row_bytes * y);
  png_read_image(png, rows.data());
  std::vector<png_color> colours(palette, palette + palette_size);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);

  const GammaPlacement gamma = FindGamma(bytes);
  const auto& map = gamma.before_data ? gamma.map : PowerMap(45455);
  raster.bgr.resize(std::size_t(raster.width) * raster.height * 3);
  for (int y = 0; y < raster.height; ++y) {
    for (int x = 0; x < raster.width; ++x) {
      const std::uint8_t* s = rows[y] + x * channels;
      std::uint8_t* out = &raster.bgr[(std::size_t(y) * raster.width + x) * 3];
      auto put = [out](int r, int g, int b) {
        out[0] = static_cast<std::uint8_t>(b);
        out[1] = static_cast<std::uint8_t>(g);
        out[2] = static_cast<std::uint8_t>(r);
      };
      switch (color_type) {
        case 0: {
          const int level = bit_depth < 8 ? s[0] * 255 / ((1 << bit_depth) - 1) : s[0];
          put(map[level], map[level], map[level]);
          break;
        }
        case 2:
        case 6:
          put(map[s[0]], map[s[1]], map[s[2]]);
          break;
        case 3:
          if (s[0] < colours.size()) {
            const png_color& c = colours[s[0]];
            const auto& pm = gamma.before_palette ? gamma.map : PowerMap(45455);
            put(pm[c.red], pm[c.green], pm[c.blue]);
          } else {
            put(0, 0, 0);
          }
          break;
        case 4: {
          const int g = s[0];
          const int a = s[1];
          const int v = (g * a + (255 - a) * map[g] + 255) >> 8;
          put(v, v, v);
          break;
        }
      }
    }
  }
  return raster;
}

Raster OurDecode(const fs::path& path) {
  TPNGObject image;
  image.LoadFile(path.string());
  TBitmap bitmap;
  bitmap.Assign(image);
  bitmap.Canvas().Draw(0, 0, &image);
  Raster raster{bitmap.Width(), bitmap.Height(), {}};
  for (int y = 0; y < bitmap.Height(); ++y) {
    const std::uint8_t* row = bitmap.ScanLine(y);
    raster.bgr.insert(raster.bgr.end(), row, row + 3 * bitmap.Width());
  }
  return raster;
}

std::vector<std::string> SuiteFiles(bool corrupt) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kSuite)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".png" && (name[0] == 'x') == corrupt) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string NameOf(const ::testing::TestParamInfo<std::string>& info) {
  return info.param.substr(0, info.param.size() - 4);
}

class PngSuiteValid : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSuiteValid, MatchesLibpngPixels) {
  const fs::path path = kSuite / GetParam();
  const std::optional<Raster> expected = ReferenceDecode(path, testing::ReadFileText(path));
  ASSERT_TRUE(expected.has_value()) << "libpng cannot read " << GetParam();
  const Raster actual = OurDecode(path);
  ASSERT_EQ(actual.width, expected->width);
  ASSERT_EQ(actual.height, expected->height);
  for (std::size_t i = 0; i < actual.bgr.size(); ++i) {
    const std::size_t pixel = i / 3;
    ASSERT_EQ(actual.bgr[i], expected->bgr[i])
        << "pixel (" << pixel % actual.width << ", " << pixel / actual.width << ") channel "
        << "BGR"[i % 3];
  }
}

INSTANTIATE_TEST_SUITE_P(PngSuite, PngSuiteValid, ::testing::ValuesIn(SuiteFiles(false)), NameOf);

// What each corrupt file of the suite raises.
const std::map<std::string, const std::type_info*> kCorruptRaises = {
    {"xc1n0g08.png", &typeid(EPngInvalidIHDR)},        // colour type 1
    {"xc9n2c08.png", &typeid(EPngInvalidIHDR)},        // colour type 9
    {"xcrn0g04.png", &typeid(EPNGInvalidFileHeader)},  // line ends rewritten
    {"xcsn0g01.png", &typeid(EPngInvalidCRC)},         // IDAT checksum
    {"xd0n2c08.png", &typeid(EPngInvalidIHDR)},        // bit depth 0
    {"xd3n2c08.png", &typeid(EPngInvalidIHDR)},        // bit depth 3
    {"xd9n2c08.png", &typeid(EPngInvalidIHDR)},        // bit depth 99
    {"xdtn0g01.png", &typeid(EPNGNoImageData)},        // no IDAT
    {"xhdn0g08.png", &typeid(EPngInvalidCRC)},         // IHDR checksum
    {"xlfn0g04.png", &typeid(EPNGInvalidFileHeader)},  // line feeds added
    {"xs1n0g01.png", &typeid(EPNGInvalidFileHeader)},  // signature byte 1
    {"xs2n0g01.png", &typeid(EPNGInvalidFileHeader)},  // signature byte 2
    {"xs4n0g01.png", &typeid(EPNGInvalidFileHeader)},  // signature byte 4
    {"xs7n0g01.png", &typeid(EPNGInvalidFileHeader)},  // signature byte 7
};

class PngSuiteCorrupt : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSuiteCorrupt, RaisesItsPngError) {
  const auto expected = kCorruptRaises.find(GetParam());
  ASSERT_NE(expected, kCorruptRaises.end()) << "no expectation listed for " << GetParam();
  TPNGObject image;
  try {
    image.LoadFile((kSuite / GetParam()).string());
    FAIL() << "read without error";
  } catch (const Exception& error) {
    EXPECT_EQ(typeid(error), *expected->second) << error.Message();
  }
}

INSTANTIATE_TEST_SUITE_P(PngSuite, PngSuiteCorrupt, ::testing::ValuesIn(SuiteFiles(true)), NameOf);

}  // namespace
}  // namespace quillamar::png
