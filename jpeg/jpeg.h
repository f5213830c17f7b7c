// JPEG writing: TJPEGImage encodes a bitmap as a JFIF file through libjpeg.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/exceptions.h"
#include "framework/graphics.h"

namespace quillamar {

class TMemoryStream;
namespace jpeg {
class RowEncoding;
}
class TStream;

/// A fatal libjpeg error; the message is "JPEG error #%d" with libjpeg's message code.
class EJPEG : public Exception {
 public:
  using Exception::Exception;
};

/// The eight settings every new TJPEGImage starts with. Only Quality, GrayOutput and
/// ProgressiveOutput affect writing; the others belong to reading and are only carried along.
struct JpegSettings {
  std::uint8_t Quality = 90;  ///< 1..100
  bool GrayOutput = false;    ///< write a one-component grayscale file
  bool FastDecode = false;
  bool PaletteOutput = false;
  bool IncrementalDisplay = false;
  bool ProgressiveOutput = false;  ///< write a progressive file
  std::uint8_t DecodeScale = 0;
  bool BlockSmoothing = true;
  bool operator==(const JpegSettings&) const = default;
};

/// The process-wide start settings; a change affects only images created afterwards. Written
/// once at start-up, read-only while any encoding runs.
extern JpegSettings InitialJpegSettings;

/// Sets the start settings that depend on the screen: palette output for a screen of 8 bits per
/// pixel or fewer. Without a screen the program keeps the start value of a 24-bit one.
void InitJpegScreenDepth(int bits_per_pixel);

/// The encoded state of one or more images; images assigned from one another share it.
struct TJPEGData {
  /// The complete file; absent until encoded, empty when the bitmap had no pixels.
  std::unique_ptr<TMemoryStream> EncodedBytes;
  std::int32_t EncodedHeight = 0;
  std::int32_t EncodedWidth = 0;
  bool EncodedGray = false;

  TJPEGData();
  ~TJPEGData();
};

/// A bitmap on its way to a JPEG file. Empty when created; assigned once a bitmap is given to
/// it (its pixels are shared, not copied); encoded on the first save, after which further saves
/// write the same bytes without encoding again.
class TJPEGImage : public TGraphic {
 public:
  TJPEGImage();
  ~TJPEGImage() override;

  const char* ClassName() const override { return "TJPEGImage"; }
  /// From a TBitmap: drops any encoded bytes and keeps the bitmap's picture. From a TJPEGImage:
  /// shares its encoded state and copies its bitmap. Anything else raises EConvertError.
  void Assign(const TGraphic& source) override;
  /// Draws the assigned bitmap; an image without one draws nothing.
  void Draw(TCanvas& canvas, const TRect& rect) const override;

  int Width() const override;
  int Height() const override;
  /// Raises EInvalidGraphicOperation: a JPEG image keeps its picture's size.
  void SetWidth(int width) override;
  void SetHeight(int height) override;
  bool Empty() const override;

  /// Encodes when needed, then writes the whole file to the stream; EWriteError when the stream
  /// takes fewer bytes. Writes nothing when an encoding was abandoned by EAbort.
  void WriteImage(TStream& stream) override;
  /// Encodes when needed, then puts the file in place as a whole: an existing file is replaced
  /// only by a complete new one. EFCreateError when the file cannot be created, EWriteError when
  /// the disk takes fewer bytes; either leaves the older file untouched. Raises EAbort (and
  /// leaves the file alone) when the encoding was abandoned by EAbort.
  void SaveFile(const std::string& path) override;

  /// Runs the encoding when there are no encoded bytes yet.
  void EnsureEncoded();
  /// Takes a file encoded elsewhere (by a JpegRowEncoder): any bitmap is dropped, saves write
  /// these bytes.
  void AssignEncoded(std::shared_ptr<TJPEGData> data);
  /// Encodes when needed, then frees the assigned bitmap: saves write the same bytes, nothing
  /// draws any more. For pages encoded ahead of their turn, which should hold only their bytes.
  void KeepOnlyEncoded();

  JpegSettings& Settings() { return settings_; }
  const JpegSettings& Settings() const { return settings_; }
  /// The encoded state; never null.
  const TJPEGData& SharedData() const { return *shared_data_; }
  /// The assigned bitmap; null while none was assigned.
  const TBitmap* SourceBitmap() const { return source_bitmap_.get(); }

 private:
  void EncodeFromBitmap();
  void TakeFreshData();

  std::shared_ptr<TJPEGData> shared_data_;
  std::unique_ptr<TBitmap> source_bitmap_;
  JpegSettings settings_;
};

/// The largest width or height of a JPEG file.
inline constexpr std::uint32_t kMaxJpegSide = 65500;

/// How the pixels of a row handed to a JpegRowEncoder are laid out.
enum class RowKind {
  kGrey,          ///< one byte a pixel, standing for three equal ones
  kRedGreenBlue,  ///< three bytes a pixel
  kBlueGreenRed,  ///< three bytes a pixel, a bitmap's order
};

/// Encodes a picture handed over in rows, top row first, into the very file that a TJPEGImage
/// makes of a bitmap of those rows: Begin, PutRows until every row is in, then Finish. Grey rows
/// go to libjpeg as luminance beside neutral colour (what its colour conversion makes of three
/// equal bytes), without a conversion; colour rows in either order need no swap. A step that
/// raises ends the encoding; so does destroying the encoder before Finish.
class JpegRowEncoder {
 public:
  /// Encodes with the image's settings and reports progress as the image; Finish gives it the file.
  explicit JpegRowEncoder(TJPEGImage& image);
  ~JpegRowEncoder();
  JpegRowEncoder(const JpegRowEncoder&) = delete;
  JpegRowEncoder& operator=(const JpegRowEncoder&) = delete;

  /// Starts a picture of width × height pixels (either 0: an empty file).
  void Begin(int width, int height, RowKind kind);
  /// The next count rows, each Width() pixels of the kind begun; the rows are read before the call
  /// returns. EInvalidGraphicOperation when no encoding is open or more rows come than the height.
  void PutRows(const std::uint8_t* const* rows, int count);
  /// Ends the picture once every row is in (EInvalidGraphicOperation before): the image takes the
  /// file, and drops any bitmap it had.
  void Finish();
  /// Rows still to come in the encoding begun; 0 when none is open.
  int RowsDue() const;

 private:
  TJPEGImage& image_;
  std::shared_ptr<TJPEGData> data_;
  std::unique_ptr<jpeg::RowEncoding> encoding_;
};

}  // namespace quillamar
