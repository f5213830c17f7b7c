// JPEG writing: TJPEGImage encodes a bitmap as a JFIF file through libjpeg.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "framework/exceptions.h"
#include "framework/graphics.h"

namespace quillamar {

class RowGate;
class TMemoryStream;
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

/// A grey picture given by its rows: row(y) is row y from the top, width bytes, each the grey of
/// its pixel (blue, green and red all equal to it).
struct GreyRows {
  int width = 0;
  int height = 0;
  std::function<const std::uint8_t*(int y)> row;
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
  /// Encodes the assigned bitmap while another thread is still filling it: row y is read only
  /// once the gate says it is complete. The bytes are those EnsureEncoded would give. When the
  /// gate is abandoned before the last row, the image stays assigned and unencoded.
  void EncodeAsRowsComplete(RowGate& gate);
  /// Encodes the grey picture now into the very file that EnsureEncoded would make of a bitmap
  /// of its pixels, without that bitmap: the rows go to libjpeg as luminance beside neutral
  /// colour, which is what its colour conversion makes of three equal bytes. Any bitmap assigned
  /// before is dropped; Width() and Height() are the picture's.
  void EncodeGrey(const GreyRows& rows);
  /// The byte order of the pixels of a row handed over.
  enum class RowOrder { kBlueGreenRed, kRedGreenBlue };
  /// Encodes a picture handed over row by row, top row first, each of width pixels in the given
  /// order (the bitmap's by default): BeginRows, then PutRow for every row, then FinishRows make
  /// the very file that EnsureEncoded would make of a bitmap of those rows. Any bitmap assigned
  /// before is dropped. A step that raises leaves the image without encoded bytes and ends the
  /// feed; a feed begun again starts over.
  void BeginRows(int width, int height, RowOrder order = RowOrder::kBlueGreenRed);
  void PutRow(const std::uint8_t* row);
  void FinishRows();
  /// Ends a feed unfinished: the image is left without encoded bytes.
  void AbandonRows();
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
  void EncodeFromBitmap(RowGate* gate);
  template <typename Steps>
  void Encode(const Steps& steps);
  void TakeFreshData();
  struct RowFeed;
  template <typename Step>
  void FeedStep(const Step& step);

  std::shared_ptr<TJPEGData> shared_data_;
  std::unique_ptr<TBitmap> source_bitmap_;
  JpegSettings settings_;
  std::unique_ptr<RowFeed> feed_;
};

}  // namespace quillamar
