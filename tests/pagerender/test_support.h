// Helpers for the page renderer's tests: small PDFs written here, PNG pages read back, the
// program run as a child process, and scratch folders.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quillamar::pagerender::testkit {

/// One page of a generated PDF: its media box in points, its /Rotate and its content stream.
struct TestPage {
  double width = 595.28;
  double height = 841.89;
  int rotate = 0;
  std::string content;
};

/// A complete PDF (catalog, page tree, Helvetica as /F1, correct cross-reference table).
/// more_fonts goes into every page's font resources after /F1 ("/F2 << ... >>").
std::string MakePdf(const std::vector<TestPage>& pages, const std::string& more_fonts = {});

/// Content that fills a rectangle (in points, from the bottom left) with an RGB colour (0-255).
std::string FillRect(double x, double y, double width, double height, int red, int green, int blue);

/// Content that writes text in black Helvetica at (x, y).
std::string ShowText(double x, double y, double size, const std::string& text);

void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);

/// A decoded PNG page as 8-bit RGB, and its header fields.
struct PngPage {
  int width = 0;
  int height = 0;
  int bit_depth = 0;
  int colour_type = 0;
  int interlace = 0;
  std::vector<unsigned char> rgb;
  std::string error;  ///< empty when the file was read completely

  /// The pixel at (x, y) as 0xRRGGBB.
  unsigned Pixel(int x, int y) const;
};
PngPage ReadPng(const std::filesystem::path& path);

/// Where the first difference between two pages lies, or "" when they are identical.
std::string FirstDifference(const PngPage& ours, const PngPage& reference);

/// A folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  /// Names of the entries in the folder, sorted (hidden ones included).
  std::vector<std::string> Entries() const;

 private:
  std::filesystem::path path_;
};

/// How a child process ended.
struct ProcessResult {
  int exit_status = -1;  ///< -1 when a signal ended it
  std::string out;
  std::string err;
};

/// A child process started with standard input from /dev/null and its output into files; the
/// destructor kills and reaps it if it is still running.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal_number) const;
  /// Waits for the end and returns what it wrote.
  ProcessResult Wait();

 private:
  ScratchFolder output_;
  int pid_ = -1;
};

/// Runs the program with the arguments (argv[0] included) and extra environment variables,
/// standard input from /dev/null, and collects its output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {});

/// The page renderer program under test.
std::string RendererPath();

/// The lines of a text, without empty ones.
std::vector<std::string> Lines(const std::string& text);

}  // namespace quillamar::pagerender::testkit
