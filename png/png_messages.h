// The PNG reader's sixteen exception classes and their message texts, each text written once.
#pragma once

#include <array>
#include <string>

#include "framework/exceptions.h"

/// Every message the reader raises: (class, constant, text). Expanded into the constants below and
/// by the tests into their table of error cases.
#define QUILLAMAR_PNG_MESSAGES(X)                                                                  \
  X(EPNGInvalidFileHeader, kInvalidFileHeaderText,                                                 \
    "The file being readed is not a valid \"Portable Network Graphics\" image because it "         \
    "contains an invalid header. This file may be corruped, try obtaining it again.")              \
  X(EPngUnexpectedEnd, kUnexpectedEndText,                                                         \
    "This \"Portable Network Graphics\" image is invalid because the decoder found an unexpected " \
    "end of the file.")                                                                            \
  X(EPNGIHDRNotFirst, kIhdrNotFirstText,                                                           \
    "This \"Portable Network Graphics\" image is not supported or it might be invalid.\r\n(IHDR "  \
    "chunk is not the first)")                                                                     \
  X(EPNGUnknownCriticalChunk, kUnknownCriticalChunkText,                                           \
    "This \"Portable Network Graphics\" image contains an unknown critical part which could not "  \
    "be decoded.")                                                                                 \
  X(EPNGNoImageData, kNoImageDataText,                                                             \
    "This \"Portable Network Graphics\" image contains no data.")                                  \
  X(EPngInvalidCRC, kInvalidCrcText,                                                               \
    "This \"Portable Network Graphics\" image is not valid because it contains invalid pieces of " \
    "data (crc error)")                                                                            \
  X(EPNGHeaderNotPresent, kHeaderNotPresentText,                                                   \
    "This operation is not valid because the current image contains no valid header.")             \
  X(EPngInvalidIHDR, kInvalidIhdrText,                                                             \
    "The \"Portable Network Graphics\" image could not be loaded because one of its main piece "   \
    "of data (ihdr) might be corrupted")                                                           \
  X(EPNGSizeExceeds, kSizeExceedsText,                                                             \
    "This \"Portable Network Graphics\" image is not supported because either it's width or "      \
    "height exceeds the maximum size, which is 65535 pixels length.")                              \
  X(EPNGUnknownCompression, kUnknownCompressionText,                                               \
    "This \"Portable Network Graphics\" image is encoded with an unknown compression scheme "      \
    "which could not be decoded.")                                                                 \
  X(EPNGUnknownInterlace, kUnknownInterlaceText,                                                   \
    "This \"Portable Network Graphics\" image uses an unknown interlace scheme which could not "   \
    "be decoded.")                                                                                 \
  X(EPNGInvalidPalette, kInvalidPaletteText,                                                       \
    "The \"Portable Network Graphics\" image contains an invalid palette.")                        \
  X(EPNGMissingMultipleIDAT, kMissingMultipleIdatText,                                             \
    "This \"Portable Network Graphics\" image is invalid because it has missing image parts.")     \
  X(EPNGZLIBError, kZlibErrorText,                                                                 \
    "Could not decompress the image because it contains invalid compressed data.\r\n "             \
    "Description: ")                                                                               \
  X(EPngError, kNoSuchPaletteEntryText, "There is no such palette entry.")                         \
  X(EPngError, kIncompatibleChunksText, "The chunks must be compatible to be assigned.")           \
  X(EPngError, kCannotResizeText,                                                                  \
    "The \"Portable Network Graphics\" image can not be resize by changing width and height "      \
    "properties. Try assigning the image from a bitmap.")                                          \
  X(EPNGOutMemory, kOutOfResourcesText,                                                            \
    "Some operation could not be performed because the system is out of resources. Close some "    \
    "windows and try again.")

namespace quillamar::png {

#define QUILLAMAR_PNG_TEXT(cls, name, text) inline constexpr char name[] = text;
QUILLAMAR_PNG_MESSAGES(QUILLAMAR_PNG_TEXT)
#undef QUILLAMAR_PNG_TEXT

// Each class derives directly from Exception: a handler for every PNG failure names them all.
#define QUILLAMAR_PNG_CLASS(cls) \
  class cls : public Exception { \
   public:                       \
    using Exception::Exception;  \
  };
QUILLAMAR_PNG_CLASS(EPNGInvalidFileHeader)
QUILLAMAR_PNG_CLASS(EPngUnexpectedEnd)
QUILLAMAR_PNG_CLASS(EPNGIHDRNotFirst)
QUILLAMAR_PNG_CLASS(EPNGUnknownCriticalChunk)
QUILLAMAR_PNG_CLASS(EPNGNoImageData)
QUILLAMAR_PNG_CLASS(EPngInvalidCRC)
QUILLAMAR_PNG_CLASS(EPNGHeaderNotPresent)
QUILLAMAR_PNG_CLASS(EPngInvalidIHDR)
QUILLAMAR_PNG_CLASS(EPNGSizeExceeds)
QUILLAMAR_PNG_CLASS(EPNGUnknownCompression)
QUILLAMAR_PNG_CLASS(EPNGUnknownInterlace)
QUILLAMAR_PNG_CLASS(EPNGInvalidPalette)
QUILLAMAR_PNG_CLASS(EPNGMissingMultipleIDAT)
QUILLAMAR_PNG_CLASS(EPNGZLIBError)
QUILLAMAR_PNG_CLASS(EPngError)
QUILLAMAR_PNG_CLASS(EPNGOutMemory)
#undef QUILLAMAR_PNG_CLASS

/// Throws cls with its text, e.g. Raise<EPngInvalidCRC>(kInvalidCrcText).
template <class Error>
[[noreturn]] void Raise(const char* text) {
  throw Error(text);
}

/// The descriptions of inflate's result codes -6 to 2, in that order.
inline constexpr std::array<const char*, 9> InflateResultTexts = {"incompatible version (-6)",
                                                                  "buffer error (-5)",
                                                                  "insufficient memory (-4)",
                                                                  "data error (-3)",
                                                                  "stream error (-2)",
                                                                  "file error (-1)",
                                                                  "(0)",
                                                                  "stream end (1)",
                                                                  "need dictionary (2)"};

/// The description of an inflate result; a code outside the table gives its number in brackets.
std::string InflateResultDescription(int code);

}  // namespace quillamar::png
