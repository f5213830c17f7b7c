// Times ConvertPngToJpg on page PNGs against libpng decoding plus libjpeg-turbo encoding with the
// same settings, in one run, and prints the ratios.
// Usage: bench_reencode [PDF] [ROUNDS]
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "framework/exceptions.h"

// clang-format off
#include <jpeglib.h>
// clang-format on

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kQuality = 90;
constexpr double kTarget = 1.15;

struct Raster {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgr;  // rows top first, 3 bytes a pixel
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File Open(const fs::path& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  if (!file) throw std::runtime_error("cannot open " + path.string());
  return file;
}

// Reads any PNG as blue-green-red rows (palette and grey expanded, 16 bits cut, alpha dropped).
Raster DecodePng(const fs::path& path) {
  const File file = Open(path, "rb");
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  Raster raster;
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    throw std::runtime_error("libpng cannot read " + path.string());
  }
  png_init_io(png, file.get());
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  raster.width = static_cast<int>(png_get_image_width(png, info));
  raster.height = static_cast<int>(png_get_image_height(png, info));
  raster.bgr.resize(static_cast<std::size_t>(raster.width) * raster.height * 3);
  for (int y = 0; y < raster.height; ++y)
    rows.push_back(&raster.bgr[std::size_t{3} * raster.width * y]);
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return raster;
}

// Writes the raster as a stored-deflate PNG without filters: the renderer's cheap intermediate.
void WriteStoredPng(const Raster& raster, const fs::path& path) {
  const File file = Open(path, "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng cannot write " + path.string());
  }
  png_init_io(png, file.get());
  png_set_compression_level(png, 0);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_IHDR(png, info, raster.width, raster.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  png_set_bgr(png);
  for (int y = 0; y < raster.height; ++y) {
    png_write_row(png, &raster.bgr[std::size_t{3} * raster.width * y]);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
}

// The peer: libjpeg-turbo with the writer's settings, into memory, then the file in one write.
void EncodeJpeg(const Raster& raster, const fs::path& path) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &bytes, &size);
  cinfo.image_width = static_cast<JDIMENSION>(raster.width);
  cinfo.image_height = static_cast<JDIMENSION>(raster.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&cinfo);
  cinfo.dct_method = JDCT_FLOAT;
  jpeg_set_quality(&cinfo, kQuality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    auto row =
        const_cast<JSAMPROW>(&raster.bgr[std::size_t{3} * raster.width * cinfo.next_scanline]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  const File file = Open(path, "wb");
  std::fwrite(bytes, 1, size, file.get());
  std::free(bytes);
}

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

template <typename Work>
double TimeOnce(const Work& work) {
  const auto start = Clock::now();
  work();
  return Milliseconds(Clock::now() - start);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Variant {
  std::string name;
  std::vector<fs::path> pages;
};

// Renders pages 1 to 3 of the PDF and writes their stored-deflate twins.
std::vector<Variant> MakePages(const fs::path& pdf, const fs::path& work) {
  std::vector<Variant> variants;
  for (const int dpi : {150, 300}) {
    const fs::path folder = work / std::to_string(dpi);
    fs::create_directories(folder / "stored");
    const std::string command = "pdftoppm -png -r " + std::to_string(dpi) + " -f 1 -l 3 '" +
                                pdf.string() + "' '" + (folder / "p").string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("pdftoppm failed");
    Variant rendered{"pdftoppm PNG " + std::to_string(dpi) + " dpi", {}};
    Variant stored{"stored PNG   " + std::to_string(dpi) + " dpi", {}};
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() != ".png") continue;
      rendered.pages.push_back(entry.path());
      stored.pages.push_back(folder / "stored" / entry.path().filename());
      WriteStoredPng(DecodePng(entry.path()), stored.pages.back());
    }
    std::sort(rendered.pages.begin(), rendered.pages.end());
    std::sort(stored.pages.begin(), stored.pages.end());
    variants.push_back(std::move(rendered));
    variants.push_back(std::move(stored));
  }
  return variants;
}

// Ours and the peer take turns on each page; returns the medians per page summed.
std::pair<double, double> Measure(const Variant& variant, const fs::path& work, int rounds) {
  double ours = 0;
  double peer = 0;
  for (const fs::path& page : variant.pages) {
    std::vector<double> our_times;
    std::vector<double> peer_times;
    for (int round = 0; round < rounds; ++round) {
      our_times.push_back(TimeOnce(
          [&] { quillamar::batch::ConvertPngToJpg(page.string(), (work / "ours.jpg").string()); }));
      peer_times.push_back(TimeOnce([&] { EncodeJpeg(DecodePng(page), work / "peer.jpg"); }));
    }
    ours += Median(our_times);
    peer += Median(peer_times);
  }
  return {ours / variant.pages.size(), peer / variant.pages.size()};
}

}  // namespace

int main(int argc, char** argv) {
  const bool pdf_given = argc > 1 && argv[1][0] != '\0';
  const fs::path pdf =
      pdf_given ? fs::path(argv[1]) : fs::path(QUILLAMAR_TESTDATA) / "pdfs" / "text_manual_41p.pdf";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
  char pattern[] = "/tmp/quillamar-bench-reencode-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path work = pattern;
  int status = 0;
  try {
    std::printf(
        "ConvertPngToJpg against libpng decode + libjpeg-turbo encode (quality %d, float "
        "DCT), median of %d rounds per page, %s pages 1-3\n",
        kQuality, rounds, pdf.filename().c_str());
    double worst = 0;
    for (const Variant& variant : MakePages(pdf, work)) {
      const auto [ours, peer] = Measure(variant, work, rounds);
      worst = std::max(worst, ours / peer);
      std::printf("%s: ConvertPngToJpg %7.2f ms/page   peer %7.2f ms/page   ratio %.3f\n",
                  variant.name.c_str(), ours, peer, ours / peer);
    }
    std::printf("worst ratio %.3f (target <= %.2f)\n", worst, kTarget);
  } catch (const quillamar::Exception& e) {
    std::fprintf(stderr, "bench_reencode: %s\n", e.Message().c_str());
    status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_reencode: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(work);
  return status;
}
