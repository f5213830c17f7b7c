// Times our PNG reader (read, assign to a bitmap, draw) against libpng's simplified reader to
// blue-green-red and libspng to RGB, on page images made here and on PngSuite; prints ratios.
#include <png.h>
#include <spng.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "framework/graphics.h"
#include "framework/streams.h"
#include "png/png_object.h"

namespace {

using quillamar::TBitmap;
using quillamar::TMemoryStream;
using quillamar::png::TPNGObject;

// ---- page images ----

struct Page {
  int width;
  int height;
  std::vector<std::uint8_t> rgb;
};

// A text page as a renderer draws it at 150 dpi: white paper, lines of dark glyph strokes with
// grey anti-aliased edges, a coloured heading bar and a photo-like picture.
Page MakePage(int width, int height, bool with_picture) {
  Page page{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3, 255)};
  std::mt19937 random(42);
  auto put = [&page](int x, int y, int r, int g, int b) {
    std::uint8_t* p = &page.rgb[(std::size_t(y) * page.width + x) * 3];
    p[0] = static_cast<std::uint8_t>(r);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(b);
  };
  const int margin = width / 10;
  for (int y = margin; y < margin + 40; ++y) {
    for (int x = margin; x < width - margin; ++x) put(x, y, 30, 60, 140);
  }
  int picture_top = with_picture ? height / 2 : height;
  for (int line = margin + 70; line + 18 < picture_top - 10; line += 26) {
    for (int x = margin; x < width - margin;) {
      const int glyph = 5 + static_cast<int>(random() % 8);
      if (random() % 6 == 0) {
        x += glyph;  // a space between words
        continue;
      }
      for (int y = line; y < line + 16; ++y) {
        for (int gx = x; gx < x + glyph - 1 && gx < width - margin; ++gx) {
          const bool stroke = ((gx - x) % 3 == 0) || ((y - line) % 7 == 0);
          if (!stroke) continue;
          const int edge = (gx == x || y == line) ? 120 : 20;  // anti-aliased rim
          put(gx, y, edge, edge, edge);
        }
      }
      x += glyph;
    }
  }
  for (int y = picture_top; y < height - margin && with_picture; ++y) {
    for (int x = margin; x < width - margin; ++x) {
      const int noise = static_cast<int>(random() % 9);
      put(x, y, (x * 255 / width + noise) & 255, (y * 255 / height + noise) & 255,
          ((x + y) / 4 + noise) & 255);
    }
  }
  return page;
}

// How a page is written: zlib level (-1: libpng's default) and the row filters allowed.
struct Encoding {
  int level;
  int filters;
};
constexpr Encoding kLibpngDefault{-1, PNG_ALL_FILTERS};
constexpr Encoding kIntermediate{0, PNG_FILTER_NONE};  // stored deflate blocks, no filtering
constexpr Encoding kFastText{2, PNG_FILTER_NONE};      // as our renderer writes text pages
constexpr Encoding kFastPhoto{2, PNG_FILTER_UP};       // ... and photo-like pages

std::string EncodePage(const Page& page, Encoding encoding) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, png_size_t size) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data), size);
      },
      nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(page.width),
               static_cast<png_uint_32>(page.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (encoding.level >= 0) png_set_compression_level(png, encoding.level);
  png_set_filter(png, 0, encoding.filters);
  png_write_info(png, info);
  for (int y = 0; y < page.height; ++y) {
    png_write_row(png, const_cast<png_bytep>(&page.rgb[std::size_t(y) * page.width * 3]));
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

// ---- the three decoders, one adapter each ----

// Our reader reads from a stream; each file's stream is filled once, outside the timing, as the
// peers read straight from the bytes.
std::map<const std::string*, std::unique_ptr<TMemoryStream>> streams;

TMemoryStream& StreamOf(const std::string& file) {
  auto& stream = streams[&file];
  if (!stream) {
    stream = std::make_unique<TMemoryStream>();
    stream->Write(file.data(), static_cast<std::int64_t>(file.size()));
  }
  return *stream;
}

std::size_t DecodeOurs(const std::string& file) {
  TMemoryStream& stream = StreamOf(file);
  stream.SetPosition(0);
  TPNGObject image;
  image.ReadImage(stream);
  TBitmap bitmap;
  bitmap.Assign(image);
  bitmap.Canvas().Draw(0, 0, &image);
  return bitmap.Bits() != nullptr ? bitmap.Bits()[0] : 0;
}

std::size_t DecodeLibpng(const std::string& file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return 0;
  image.format = PNG_FORMAT_BGR;
  const png_int_32 stride = static_cast<png_int_32>((image.width * 3 + 3) & ~3u);
  std::vector<std::uint8_t> pixels(std::size_t(stride) * image.height);
  png_image_finish_read(&image, nullptr, pixels.data(), -stride, nullptr);  // bottom-up
  png_image_free(&image);
  return pixels.empty() ? 0 : pixels[0];
}

std::size_t DecodeSpng(const std::string& file) {
  spng_ctx* ctx = spng_ctx_new(0);
  spng_set_png_buffer(ctx, file.data(), file.size());
  std::size_t size = 0;
  std::size_t first = 0;
  if (spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size) == 0) {
    std::vector<std::uint8_t> pixels(size);
    if (spng_decode_image(ctx, pixels.data(), size, SPNG_FMT_RGB8, 0) == 0) first = pixels[0];
  }
  spng_ctx_free(ctx);
  return first;
}

using Decoder = std::function<std::size_t(const std::string&)>;

// One pass over the files, repeat times, in milliseconds per repetition.
double PassMs(const Decoder& decode, const std::vector<std::string>& files, int repeat) {
  volatile std::size_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < repeat; ++r) {
    for (const std::string& file : files) {
      try {
        sink = sink + decode(file);
      } catch (const std::exception&) {
        // corrupt files take part in the timing too
      }
    }
  }
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  return took.count() / repeat;
}

constexpr int kRounds = 15;

// The decoders take turns within each round, so a busy machine slows them alike; the best round
// of each counts.
void Report(const char* what, const std::vector<std::string>& files, int repeat) {
  streams.clear();  // files of an earlier report may have lain at the same addresses
  for (const std::string& file : files) StreamOf(file);
  const Decoder decoders[3] = {DecodeOurs, DecodeLibpng, DecodeSpng};
  double best[3] = {1e300, 1e300, 1e300};
  for (int round = 0; round < kRounds; ++round) {
    for (int d = 0; d < 3; ++d) best[d] = std::min(best[d], PassMs(decoders[d], files, repeat));
  }
  std::printf(
      "%-38s ours %7.2f ms  libpng %7.2f ms  libspng %7.2f ms  ours/libpng %.2fx  "
      "ours/libspng %.2fx\n",
      what, best[0], best[1], best[2], best[0] / best[1], best[0] / best[2]);
}

std::vector<std::string> PngSuite() {
  std::vector<std::string> files;
  const std::filesystem::path folder = std::filesystem::path(QUILLAMAR_TESTDATA) / "pngsuite";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".png") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  // An optional argument picks one case by its key (text, mixed, fasttext, ..., suite).
  const std::string only = argc > 1 ? argv[1] : "";
  auto wanted = [&only](const char* name) { return only.empty() || only == name; };
  const Page text = MakePage(1275, 1650, /*with_picture=*/false);
  const Page mixed = MakePage(1275, 1650, /*with_picture=*/true);
  struct Case {
    const char* key;
    const char* title;
    const Page& page;
    Encoding encoding;
    int repeat;
  };
  const Case cases[] = {
      {"text", "text page, libpng defaults", text, kLibpngDefault, 10},
      {"mixed", "text + picture page, libpng defaults", mixed, kLibpngDefault, 5},
      {"fasttext", "text page, level 2, no filter", text, kFastText, 10},
      {"fastphoto", "text + picture page, level 2, up filter", mixed, kFastPhoto, 5},
      {"stored", "intermediate page (stored, no filter)", mixed, kIntermediate, 10},
  };
  std::printf("page images 1275x1650 RGB 8-bit (letter at 150 dpi), best of %d rounds each\n",
              kRounds);
  for (const Case& c : cases) {
    if (!wanted(c.key)) continue;
    const std::vector<std::string> files = {EncodePage(c.page, c.encoding)};
    Report(c.title, files, c.repeat);
  }
  if (wanted("suite")) Report("PngSuite (all files)", PngSuite(), 20);
  return 0;
}
