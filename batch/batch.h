// The conversion run over its host interface, and the re-encoding of one page to JPEG.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/page_names.h"
#include "contract/renderer_contract.h"
#include "framework/string_list.h"
#include "renderer/renderer.h"

namespace quillamar::batch {

/// The way a page went from its PNG into its JPEG.
enum class PagePath {
  kStreamed,                 ///< colour rows from the decoding straight into the encoder
  kStreamedOnASecondThread,  ///< the same through a row queue, the encoder on a second thread
  kGrey,                     ///< read whole, then its grey rows encoded as luminance
  kColourRows,               ///< read whole, then the colours of its rows encoded
  kBitmap,                   ///< read whole and drawn on a bitmap (alpha), the bitmap encoded
};

/// A page read and encoded ahead of its turn; nothing is written until Commit.
class PreparedPage {
 public:
  virtual ~PreparedPage() = default;
  /// Puts the page's JPEG file in place; raises as the re-encoding would.
  virtual void Commit() = 0;
  /// The way the page went, where the preparation knows it.
  virtual std::optional<PagePath> Path() const { return std::nullopt; }
};

/// How one PDF ended, for front ends that report per PDF.
struct PdfReport {
  enum class Outcome {
    kConverted,   ///< the renderer succeeded and every page was handled
    kFailed,      ///< the renderer failed ("转换失败：…"); its written pages were handled
    kNotStarted,  ///< the renderer could not be started ("运行主程序错误!")
    kStopped,     ///< a stop ended the run during this PDF
  };
  std::string pdf;  ///< the full path, as in SourceFiles
  Outcome outcome = Outcome::kConverted;
  std::string error_line;  ///< the renderer's line, for kFailed
};

/// The window's operations as the run sees them. The window and the command line each implement
/// it once; the run calls these in a fixed order and holds no other reference to its caller.
class RunHost {
 public:
  virtual ~RunHost() = default;

  /// The chosen-files text (only tested for being empty).
  virtual std::string ChosenFilesText() = 0;
  /// The chosen PDFs' full paths in their order; empty before the first choice.
  virtual TStringList SourceFiles() = 0;
  /// The output folder text, used exactly as given.
  virtual std::string OutputFolderText() = 0;
  /// The format text: "JPG" re-encodes the pages, anything else keeps the PNGs.
  virtual std::string FormatText() = 0;
  /// The resolution text, handed to the renderer verbatim.
  virtual std::string ResolutionText() = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  /// Paints the window at once (the run may hold its thread for long).
  virtual void RepaintNow() = 0;
  virtual void SetProgressPosition(int position) = 0;
  /// The progress maximum; the minimum stays 0.
  virtual void SetProgressMaximum(int maximum) = 0;
  /// A modal message with one OK button; returns when the user has closed it.
  virtual void ShowMessage(const std::string& text) = 0;
  /// The message about a PDF the renderer failed on ("转换失败：…"). Shown as any message unless
  /// the host gathers them to show once the run has ended.
  virtual void ShowFailure(const std::string& text) { ShowMessage(text); }
  /// Lets the user choose the PDF files (the run ends right after).
  virtual void ChooseFiles() = 0;
  /// Lets the user choose the output folder (the run ends right after).
  virtual void ChooseFolder() = 0;
  /// Re-encodes one page PNG as the JPEG file in two steps: reads and encodes now, possibly on
  /// another thread and ahead of earlier pages, and writes on Commit, which the run calls in page
  /// order on its own thread. A failure may raise here or on Commit; the run takes it up at that
  /// page's turn either way.
  virtual std::unique_ptr<PreparedPage> PrepareReencode(const std::string& png_path,
                                                        const std::string& jpg_path) = 0;

  // Calls beyond the window's own operations; by default they change nothing.

  /// The run turns to this PDF (full path); an exception ending the run belongs to the PDF last
  /// started and not finished.
  virtual void PdfStarted(const std::string& /*pdf*/) {}
  /// The run is done with this PDF.
  virtual void PdfFinished(const PdfReport& /*report*/) {}
  /// The PDF (full path) is locked: the password to try, or nullopt to skip it, which ends it as
  /// a failed PDF ("转换失败：…"). `retry` says the previous answer did not open it. Asked again
  /// after every wrong answer.
  virtual std::optional<std::string> AskPassword(const std::string& /*pdf*/, bool /*retry*/) {
    return std::nullopt;
  }
  /// The renderer's warning about the PDF being converted (its pages are written, but some text
  /// in them could not be drawn: the PDF, the fonts and their pages). Changes nothing in the run.
  virtual void ReportWarning(const std::string& /*text*/) {}
  /// Where the run is inside the current PDF: done of total pages (total > 0). Called only for a
  /// renderer that announces its pages: first with done 0, then as pages are done.
  virtual void PageProgress(int /*done*/, int /*total*/) {}
};

/// Lets another thread (or a signal handler) end a run: the renderer is asked to stop and the
/// run ends after the current page.
using StopSignal = renderer::StopSignal;

/// What a caller may change about a run; the defaults are the program's.
struct RunSettings {
  /// The renderer to start; empty means "lib.dll" beside the running executable.
  std::string renderer_path;
  /// The page loop looks no further than this page number.
  int max_pages = 10000;
  /// Ends the run early when raised; may be null.
  StopSignal* stop = nullptr;
  /// The most workers: renderer threads, and pages prepared at once (PrepareReencode on worker
  /// threads); 0 means DefaultJobs(). The memory budget may run fewer. 1 re-encodes strictly one
  /// page after the other on the run's thread (a page of kEncodeAlongsidePixels or more still
  /// encodes its rows on a second thread while it is read) and renders each PDF at its turn.
  int jobs = 0;
  /// The renderer's engine (contract::kEngineEnv); empty for its default.
  std::string engine;
};

/// The CPUs this process may run on (its affinity), at least 1.
int DefaultJobs();

/// How a run ended.
enum class RunOutcome {
  kNothingChosen,  ///< no PDFs or no folder: the matching choice was offered instead
  kCompleted,      ///< every PDF was handed to the renderer and its pages handled
  kStopped,        ///< the stop signal ended it
};

/// What a run did, for front ends that report it (the window shows only what the host saw).
struct RunResult {
  RunOutcome outcome = RunOutcome::kNothingChosen;
  int pdfs_not_started = 0;  ///< renderer could not be started ("运行主程序错误!")
  int pdfs_failed = 0;       ///< renderer reported a failure ("转换失败：…")
  int pages_written = 0;     ///< page files put in place (in the format asked for)
  int pages_done = 0;        ///< of the PDF last worked on: pages put in place so far
  int pages_total = 0;       ///< of the PDF last worked on: its pages, once announced (or 0)
};

/// Whether the resolution text is one the renderer takes: a whole number of dots per inch from 1
/// to contract::kMaxResolution, digits only.
bool IsUsableResolution(const std::string& text);

/// The renderer's error line as users see it: without the program name in front and without the
/// usage note behind.
std::string ShownRendererLine(std::string line);

/// The status after a stop: "已停止", with how far the run got when it had begun a PDF (pdf_index
/// from 0 of pdf_count; the page counts once the renderer has announced them).
std::string StoppedStatus(int pdf_index, int pdf_count, int pages_done, int pages_total);

/// Converts every chosen PDF into page files. Exceptions of the system's classes end the run and
/// pass to the caller untouched.
RunResult Run(RunHost& host, const RunSettings& settings = {});

/// The base names (without extension) that more than one of the PDFs has, each once, in the order
/// of their first appearance; compared as the file system does, byte for byte. Front ends ask
/// about them before a run starts (the later PDF's pages would replace the earlier one's).
std::vector<std::string> FindNameClashes(const TStringList& pdfs);

/// Pages of at least this many pixels take more than half of the run's re-encoding budget, so no
/// other page that large is prepared beside them: the rows of such a colour page are encoded on a
/// second thread while the PNG is still being read. Smaller pages are read and encoded on one.
inline constexpr long long kEncodeAlongsidePixels =
    contract::kMemoryBudgetBytes / 2 / 2 / contract::kReencodeBytesPerPixel;

/// Reads the PNG page and writes it as the JPEG file; the PNG is left as it is.
void ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path);

/// ConvertPngToJpg in two steps: reads and encodes now (safe on any thread), writes on Commit.
std::unique_ptr<PreparedPage> PreparePngToJpg(const std::string& png_path,
                                              const std::string& jpg_path);

/// Tells the page encoding the screen's colour depth (bits per pixel); called once at start-up
/// by a front end that has a screen, before any run. Without it a depth of 24 is assumed.
void SetScreenColorDepth(int bits_per_pixel);

/// The texts the run shows.
inline constexpr char kStatusConverting[] = "正在转换 ";
inline constexpr char kStatusDone[] = "已完成！";
inline constexpr char kStatusStopped[] = "已停止";
inline constexpr char kRendererStartError[] = "运行主程序错误!";
inline constexpr char kRendererFailedPrefix[] = "转换失败：";

}  // namespace quillamar::batch
