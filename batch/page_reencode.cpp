// Re-encoding of one page PNG as a JPEG file.
#include <memory>

#include "batch/batch.h"
#include "framework/graphics.h"
#include "jpeg/jpeg.h"
#include "png/png_object.h"

namespace quillamar::batch {

void ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path) {
  // Declared in reverse so that they are freed as the JPEG image, the bitmap, then the PNG image,
  // also when a step raises; created as the JPEG image, the bitmap, then the PNG image.
  std::unique_ptr<png::TPNGObject> png_image;
  std::unique_ptr<TBitmap> bitmap;
  auto jpeg_image = std::make_unique<TJPEGImage>();
  bitmap = std::make_unique<TBitmap>();
  png_image = std::make_unique<png::TPNGObject>();

  png_image->LoadFile(png_path);
  bitmap->Assign(*png_image);
  bitmap->Canvas().Draw(0, 0, png_image.get());
  jpeg_image->Assign(*bitmap);
  jpeg_image->SaveFile(jpg_path);
}

}  // namespace quillamar::batch
