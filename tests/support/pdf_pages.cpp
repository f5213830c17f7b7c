// Small PDFs written by the tests and PNG pages read back.
#include "support/pdf_pages.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace quillamar::testing {
namespace {

std::string Number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Appends "N 0 obj ... endobj" and remembers where it starts.
void AddObject(std::string& pdf, std::vector<std::size_t>& offsets, const std::string& body) {
  offsets.push_back(pdf.size());
  pdf += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
}

void AddCrossReference(std::string& pdf, const std::vector<std::size_t>& offsets) {
  const std::size_t start = pdf.size();
  pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(start) + "\n%%EOF\n";
}

}  // namespace

std::string MakePdf(const std::vector<TestPage>& pages, const std::string& more_fonts) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  const std::size_t first_page = 4;  // after catalog, page tree and font
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    kids += std::to_string(first_page + 2 * i) + " 0 R ";
  }
  AddObject(pdf, offsets, "<< /Type /Catalog /Pages 2 0 R >>");
  AddObject(pdf, offsets,
            "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  AddObject(pdf, offsets, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const TestPage& page = pages[i];
    AddObject(pdf, offsets,
              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + Number(page.width) + " " +
                  Number(page.height) + "] /Rotate " + std::to_string(page.rotate) +
                  " /Resources << /Font << /F1 3 0 R " + more_fonts + " >> >> /Contents " +
                  std::to_string(first_page + 2 * i + 1) + " 0 R >>");
    AddObject(pdf, offsets,
              "<< /Length " + std::to_string(page.content.size()) + " >>\nstream\n" + page.content +
                  "\nendstream");
  }
  AddCrossReference(pdf, offsets);
  return pdf;
}

std::string FillRect(double x, double y, double width, double height, int red, int green,
                     int blue) {
  return Number(red / 255.0) + " " + Number(green / 255.0) + " " + Number(blue / 255.0) + " rg " +
         Number(x) + " " + Number(y) + " " + Number(width) + " " + Number(height) + " re f\n";
}

std::string ShowText(double x, double y, double size, const std::string& text) {
  return "0 g BT /F1 " + Number(size) + " Tf " + Number(x) + " " + Number(y) + " Td (" + text +
         ") Tj ET\n";
}

unsigned PngPage::Pixel(int x, int y) const {
  const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
  return (unsigned{rgb[at]} << 16) | (unsigned{rgb[at + 1]} << 8) | rgb[at + 2];
}

PngPage ReadPng(const std::filesystem::path& path) {
  PngPage page;
  const std::string bytes = ReadFileText(path);
  if (bytes.size() < 29) {
    page.error = "too short to be a PNG";
    return page;
  }
  // IHDR lies right after the signature and its own length and type.
  page.bit_depth = static_cast<unsigned char>(bytes[24]);
  page.colour_type = static_cast<unsigned char>(bytes[25]);
  page.interlace = static_cast<unsigned char>(bytes[28]);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) == 0) {
    page.error = image.message;
    return page;
  }
  image.format = PNG_FORMAT_RGB;
  page.rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, page.rgb.data(), 0, nullptr) == 0) {
    page.error = image.message;
  }
  page.width = static_cast<int>(image.width);
  page.height = static_cast<int>(image.height);
  png_image_free(&image);
  return page;
}

std::string FirstDifference(const PngPage& ours, const PngPage& reference) {
  if (!ours.error.empty() || !reference.error.empty()) {
    return "unreadable: " + ours.error + " / " + reference.error;
  }
  if (ours.width != reference.width || ours.height != reference.height) {
    return "size " + std::to_string(ours.width) + "x" + std::to_string(ours.height) + " against " +
           std::to_string(reference.width) + "x" + std::to_string(reference.height);
  }
  const auto [a, b] = std::mismatch(ours.rgb.begin(), ours.rgb.end(), reference.rgb.begin());
  if (a == ours.rgb.end()) return {};
  const auto pixel = static_cast<int>((a - ours.rgb.begin()) / 3);
  char text[96];
  const int x = pixel % ours.width;
  const int y = pixel / ours.width;
  std::snprintf(text, sizeof text, "pixel (%d, %d): %06x against %06x", x, y, ours.Pixel(x, y),
                reference.Pixel(x, y));
  return text;
}

}  // namespace quillamar::testing
