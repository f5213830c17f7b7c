// Bitmaps from pixel rules, JPEG decoding, PNG writing with libpng and the cjpeg tool.
#include "support/images.h"

#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "support/temp_dir.h"

namespace quillamar::testing {

std::unique_ptr<TBitmap> MakeBitmap(int width, int height, const PixelRule& rule) {
  auto bitmap = std::make_unique<TBitmap>();
  bitmap->SetSize(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bitmap->MutableScanLine(y);
    for (int x = 0; x < width; ++x) {
      const Rgb pixel = rule(x, y);
      row[3 * x] = pixel.b;
      row[3 * x + 1] = pixel.g;
      row[3 * x + 2] = pixel.r;
    }
  }
  return bitmap;
}

Rgb DecodedImage::At(int x, int y) const {
  const std::size_t at = (static_cast<std::size_t>(y) * width + x) * components;
  if (components == 1) return {samples[at], samples[at], samples[at]};
  return {samples[at], samples[at + 1], samples[at + 2]};
}

namespace {

struct DecodeErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void JumpOnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<DecodeErrors*>(cinfo->err)->jump, 1);
}
void Quiet(j_common_ptr) {}

// Only trivially destructible locals, since a libjpeg error jumps back here.
bool DecodeInto(jpeg_decompress_struct& cinfo, DecodeErrors& errors,
                const std::vector<std::uint8_t>& bytes, DecodedImage& image) {
  if (setjmp(errors.jump) != 0) return false;
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  image.width = static_cast<int>(cinfo.output_width);
  image.height = static_cast<int>(cinfo.output_height);
  image.components = cinfo.output_components;
  image.samples.resize(static_cast<std::size_t>(image.width) * image.height * image.components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image.samples.data() +
                   static_cast<std::size_t>(cinfo.output_scanline) * image.width * image.components;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  return true;
}

}  // namespace

std::optional<DecodedImage> DecodeJpeg(const std::vector<std::uint8_t>& bytes) {
  jpeg_decompress_struct cinfo{};
  DecodeErrors errors{};
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = JumpOnError;
  errors.pub.output_message = Quiet;
  DecodedImage image;
  const bool ok = DecodeInto(cinfo, errors, bytes, image);
  jpeg_destroy_decompress(&cinfo);
  if (!ok) return std::nullopt;
  return image;
}

namespace {

constexpr int kPaletteSize = 16;

// The palette's entries: colours the rule picks from by index.
Rgb PaletteEntry(int index) {
  return {static_cast<std::uint8_t>(index * 16), static_cast<std::uint8_t>(255 - index * 9),
          static_cast<std::uint8_t>(index * 5 + 40)};
}

int ColourType(PngKind kind) {
  switch (kind) {
    case PngKind::kRgb:
      return PNG_COLOR_TYPE_RGB;
    case PngKind::kGray:
      return PNG_COLOR_TYPE_GRAY;
    case PngKind::kPalette:
      return PNG_COLOR_TYPE_PALETTE;
    case PngKind::kRgbAlpha:
      return PNG_COLOR_TYPE_RGB_ALPHA;
    case PngKind::kGrayAlpha:
      return PNG_COLOR_TYPE_GRAY_ALPHA;
  }
  return PNG_COLOR_TYPE_RGB;
}

// The file's samples of one pixel, and the colour a reader shows for it.
Rgb AppendSamples(PngKind kind, Rgb colour, int x, std::vector<std::uint8_t>& row) {
  const auto alpha = static_cast<std::uint8_t>(x * 37);
  switch (kind) {
    case PngKind::kRgb:
      row.insert(row.end(), {colour.r, colour.g, colour.b});
      return colour;
    case PngKind::kGray:
      row.push_back(colour.r);
      return {colour.r, colour.r, colour.r};
    case PngKind::kPalette: {
      const int index = colour.r % kPaletteSize;
      row.push_back(static_cast<std::uint8_t>(index));
      return PaletteEntry(index);
    }
    case PngKind::kRgbAlpha:
      row.insert(row.end(), {colour.r, colour.g, colour.b, alpha});
      return colour;
    case PngKind::kGrayAlpha:
      row.insert(row.end(), {colour.r, alpha});
      return {colour.r, colour.r, colour.r};
  }
  return colour;
}

// Only trivially destructible locals, since a libpng error jumps back here.
bool WriteRows(png_structp png, png_infop info, std::FILE* file, PngKind kind, int width,
               const std::vector<std::vector<std::uint8_t>>& rows) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(rows.size()), 8,
               ColourType(kind), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  if (kind == PngKind::kPalette) {
    png_color palette[kPaletteSize];
    for (int i = 0; i < kPaletteSize; ++i) {
      const Rgb entry = PaletteEntry(i);
      palette[i] = {entry.r, entry.g, entry.b};
    }
    png_set_PLTE(png, info, palette, kPaletteSize);
  }
  png_write_info(png, info);
  for (const auto& row : rows) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

std::unique_ptr<TBitmap> WritePng(const std::string& path, PngKind kind, int width, int height,
                                  const PixelRule& rule) {
  std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(height));
  auto shown = MakeBitmap(width, height, [&](int x, int y) {
    return AppendSamples(kind, rule(x, y), x, rows[static_cast<std::size_t>(y)]);
  });
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    ADD_FAILURE() << "cannot write " << path;
    return shown;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (!WriteRows(png, info, file, kind, width, rows)) ADD_FAILURE() << "libpng failed: " << path;
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
  return shown;
}

std::vector<std::uint8_t> CjpegFile(const TBitmap& bitmap, const std::string& arguments,
                                    const std::string& scratch) {
  const std::string ppm = scratch + "/reference.ppm";
  const std::string jpg = scratch + "/reference.jpg";
  std::vector<std::uint8_t> bytes;
  const std::string header =
      "P6\n" + std::to_string(bitmap.Width()) + " " + std::to_string(bitmap.Height()) + "\n255\n";
  bytes.assign(header.begin(), header.end());
  for (int y = 0; y < bitmap.Height(); ++y) {
    const std::uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      bytes.insert(bytes.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
    }
  }
  WriteAll(ppm, bytes);
  const std::string command =
      std::string(kCjpeg) + " " + arguments + " -outfile '" + jpg + "' '" + ppm + "'";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cjpeg failed: " << command;
  return ReadAll(jpg);
}

}  // namespace quillamar::testing
