// Helpers for the page renderer's tests: PDF writing, PNG reading, child processes.
#include "tests/pagerender/test_support.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillamar::pagerender::testkit {
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

[[noreturn]] void ExecChild(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& environment,
                            const std::filesystem::path& folder) {
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open((folder / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0) ::_exit(127);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
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

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

unsigned PngPage::Pixel(int x, int y) const {
  const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
  return (unsigned{rgb[at]} << 16) | (unsigned{rgb[at + 1]} << 8) | rgb[at + 2];
}

PngPage ReadPng(const std::filesystem::path& path) {
  PngPage page;
  const std::string bytes = ReadFile(path);
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

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pagerender-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& environment) {
  pid_ = ::fork();
  if (pid_ == 0) ExecChild(argv, environment, output_.path());
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void ChildProcess::Signal(int signal_number) const { ::kill(pid_, signal_number); }

ProcessResult ChildProcess::Wait() {
  ProcessResult result;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(output_.path() / "out");
  result.err = ReadFile(output_.path() / "err");
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment) {
  ChildProcess child(argv, environment);
  return child.Wait();
}

std::string RendererPath() { return std::string(QUILLAMAR_BIN_DIR) + "/lib.dll"; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace quillamar::pagerender::testkit
