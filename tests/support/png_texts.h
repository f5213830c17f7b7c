// The PNG reader's messages, written out here and not taken from the reader, so that a changed
// text fails the tests.
#pragma once

namespace quillamar::testing::png_texts {

inline constexpr char kExpectedInvalidFileHeader[] =
    "The file being readed is not a valid \"Portable Network Graphics\" image because it contains "
    "an invalid header. This file may be corruped, try obtaining it again.";
inline constexpr char kExpectedUnexpectedEnd[] =
    "This \"Portable Network Graphics\" image is invalid because the decoder found an unexpected "
    "end of the file.";
inline constexpr char kExpectedIhdrNotFirst[] =
    "This \"Portable Network Graphics\" image is not supported or it might be invalid.\r\n(IHDR "
    "chunk is not the first)";
inline constexpr char kExpectedUnknownCriticalChunk[] =
    "This \"Portable Network Graphics\" image contains an unknown critical part which could not be "
    "decoded.";
inline constexpr char kExpectedNoImageData[] =
    "This \"Portable Network Graphics\" image contains no data.";
inline constexpr char kExpectedInvalidCrc[] =
    "This \"Portable Network Graphics\" image is not valid because it contains invalid pieces of "
    "data (crc error)";
inline constexpr char kExpectedHeaderNotPresent[] =
    "This operation is not valid because the current image contains no valid header.";
inline constexpr char kExpectedInvalidIhdr[] =
    "The \"Portable Network Graphics\" image could not be loaded because one of its main piece of "
    "data (ihdr) might be corrupted";
inline constexpr char kExpectedSizeExceeds[] =
    "This \"Portable Network Graphics\" image is not supported because either it's width or height "
    "exceeds the maximum size, which is 65535 pixels length.";
inline constexpr char kExpectedUnknownCompression[] =
    "This \"Portable Network Graphics\" image is encoded with an unknown compression scheme which "
    "could not be decoded.";
inline constexpr char kExpectedUnknownInterlace[] =
    "This \"Portable Network Graphics\" image uses an unknown interlace scheme which could not be "
    "decoded.";
inline constexpr char kExpectedInvalidPalette[] =
    "The \"Portable Network Graphics\" image contains an invalid palette.";
inline constexpr char kExpectedMissingMultipleIdat[] =
    "This \"Portable Network Graphics\" image is invalid because it has missing image parts.";
inline constexpr char kExpectedNoSuchPaletteEntry[] = "There is no such palette entry.";
inline constexpr char kExpectedIncompatibleChunks[] =
    "The chunks must be compatible to be assigned.";
inline constexpr char kExpectedCannotResize[] =
    "The \"Portable Network Graphics\" image can not be resize by changing width and height "
    "properties. Try assigning the image from a bitmap.";
inline constexpr char kExpectedOutOfResources[] =
    "Some operation could not be performed because the system is out of resources. Close some "
    "windows and try again.";

inline constexpr char kExpectedZlibPrefix[] =
    "Could not decompress the image because it contains invalid compressed data.\r\n "
    "Description: ";

}  // namespace quillamar::testing::png_texts
