// Re-encoding of one page PNG as a JPEG file, at once or prepared ahead and committed later.
#include <memory>

#include "batch/batch.h"
#include "framework/graphics.h"
#include "jpeg/jpeg.h"
#include "png/png_object.h"

namespace quillamar::batch {
namespace {

// The three images of one page, created as the JPEG image, the bitmap, then the PNG image and
// freed in that same order, also when a step raises.
struct PageImages {
  PageImages()
      : jpeg(std::make_unique<TJPEGImage>()),
        bitmap(std::make_unique<TBitmap>()),
        png(std::make_unique<png::TPNGObject>()) {}
  ~PageImages() {
    jpeg.reset();
    bitmap.reset();
    png.reset();
  }
  PageImages(const PageImages&) = delete;
  PageImages& operator=(const PageImages&) = delete;

  // Reads the PNG and hands its picture through the bitmap to the JPEG image.
  void Load(const std::string& png_path) {
    png->LoadFile(png_path);
    bitmap->Assign(*png);
    // Drawing an image without an alpha channel over its own assignment writes every pixel with
    // the colour it already has; only alpha blending can change (or refuse) anything.
    if (png->AlphaKind() == png::akAlpha) bitmap->Canvas().Draw(0, 0, png.get());
    jpeg->Assign(*bitmap);
  }

  std::unique_ptr<TJPEGImage> jpeg;
  std::unique_ptr<TBitmap> bitmap;
  std::unique_ptr<png::TPNGObject> png;
};

class PreparedJpeg : public PreparedPage {
 public:
  PreparedJpeg(const std::string& png_path, std::string jpg_path) : jpg_path_(std::move(jpg_path)) {
    images_.Load(png_path);
    // Held until its turn: only the encoded bytes, not the pictures they were made from.
    images_.jpeg->KeepOnlyEncoded();
    images_.bitmap.reset();
    images_.png.reset();
  }
  void Commit() override { images_.jpeg->SaveFile(jpg_path_); }

 private:
  std::string jpg_path_;
  PageImages images_;
};

}  // namespace

void ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path) {
  PreparePngToJpg(png_path, jpg_path)->Commit();
}

void SetScreenColorDepth(int bits_per_pixel) { InitJpegScreenDepth(bits_per_pixel); }

std::unique_ptr<PreparedPage> PreparePngToJpg(const std::string& png_path,
                                              const std::string& jpg_path) {
  return std::make_unique<PreparedJpeg>(png_path, jpg_path);
}

}  // namespace quillamar::batch
