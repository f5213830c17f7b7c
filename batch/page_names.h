// The names of page files, for the run, the front ends and the renderer's output pattern alike.
#pragma once

#include <string>
#include <vector>

#include "framework/string_list.h"

namespace quillamar::batch {

/// The format texts: "JPG" has the pages re-encoded; any other keeps the renderer's PNGs.
inline constexpr char kJpgFormat[] = "JPG";
inline constexpr char kPngFormat[] = "PNG";

/// The page files' extension for the format text: ".jpg" for "JPG", ".png" for any other.
const char* PageExtensionFor(const std::string& format);

/// The PDF's file name without its extension: the start of every page file's name.
std::string BaseNameOf(const std::string& pdf);

/// For each PDF, the index of the first PDF of its base name (its own index when it is the first):
/// PDFs of one base name write the same page files.
std::vector<int> FirstOfEachBaseName(const TStringList& pdfs);

/// The output pattern the renderer fills with page numbers: folder, "/", base name, "_%d.png".
std::string OutputPattern(const std::string& folder, const std::string& base_name);

/// The page file of page n: folder, "/", base name, "_", n in decimal, then extension (".png" or
/// ".jpg"). The folder text is used unchanged, a trailing "/" included.
std::string PageFilePath(const std::string& folder, const std::string& base_name, int page,
                         const char* extension);

}  // namespace quillamar::batch
