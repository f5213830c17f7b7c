// Peak memory of reading a small PNG whose zTXt chunk inflates to a huge text, against the text's
// own size (the least any reader that keeps the text must hold); prints the ratio.
#include <sys/resource.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "png/png_object.h"
#include "tests/png/png_builder.h"

namespace {

// A zlib stream of count zero bytes, deflated piece by piece so that they never stand in memory.
std::string DeflatedZeros(std::uint64_t count) {
  z_stream stream{};
  deflateInit(&stream, 9);
  const std::vector<std::uint8_t> zeros(1 << 20, 0);
  std::vector<std::uint8_t> out(1 << 20);
  std::string packed;
  for (std::uint64_t left = count;;) {
    const auto piece = static_cast<uInt>(std::min<std::uint64_t>(left, zeros.size()));
    stream.next_in = const_cast<Bytef*>(zeros.data());
    stream.avail_in = piece;
    left -= piece;
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    int result = Z_OK;
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      result = deflate(&stream, flush);
      packed.append(reinterpret_cast<const char*>(out.data()), out.size() - stream.avail_out);
    } while (stream.avail_out == 0);
    if (result == Z_STREAM_END) break;
  }
  deflateEnd(&stream);
  return packed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t text_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
  // One grey pixel: its row is a filter byte and one sample.
  const std::string file =
      quillamar::png::testing::PngBuilder()
          .Ihdr(1, 1, /*bit_depth=*/8, /*color_type=*/0)
          .Chunk("zTXt", std::string("Comment\0\0", 9) + DeflatedZeros(text_mib << 20))
          .Idat(DeflatedZeros(2))
          .Iend()
          .Bytes();
  const std::string path =
      (std::filesystem::temp_directory_path() / "bench_ztxt_memory.png").string();
  std::ofstream(path, std::ios::binary) << file;

  std::string outcome = "read";
  try {
    quillamar::png::TPNGObject image;
    image.LoadFile(path);
  } catch (const quillamar::Exception& error) {
    outcome = error.Message();
  }
  std::filesystem::remove(path);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  std::printf("file %.2f MiB, zTXt text %llu MiB, %s\n", file.size() / 1048576.0,
              static_cast<unsigned long long>(text_mib), outcome.c_str());
  std::printf("peak resident %.0f MiB   text %llu MiB   ratio %.3f (target < 1.2 GB peak)\n",
              peak_mib, static_cast<unsigned long long>(text_mib), peak_mib / text_mib);
  return 0;
}
