// The contract between the run and the page renderer "lib.dll": its file name, argument words,
// environment variables, exit statuses and the words of the channel on which it announces pages.
// Header-only and free of dependencies, so that renderer/ and pagerender/ cannot drift apart.
#pragma once

#include <string>
#include <string_view>

namespace quillamar::contract {

/// The renderer's file name, always beside the running executable.
inline constexpr char kRendererFileName[] = "lib.dll";
/// Its program name, the first argument piece.
inline constexpr char kProgramArgument[] = "lib";

/// The argument words: lib -o PATTERN -F png -r RESOLUTION PDF.
inline constexpr char kOutputOption[] = "-o";
inline constexpr char kFormatOption[] = "-F";
inline constexpr char kPngFormat[] = "png";
inline constexpr char kResolutionOption[] = "-r";
/// The highest resolution the renderer takes, in dots per inch.
inline constexpr int kMaxResolution = 2400;
/// Ends the renderer's line about a command line it cannot use.
inline constexpr char kUsageNote[] = " (usage: lib -o PATTERN -F png -r DPI FILE.pdf)";
/// Starts each line the renderer writes on its standard error.
inline constexpr char kMessagePrefix[] = "lib.dll: ";
static_assert(std::string_view(kMessagePrefix).starts_with(kRendererFileName));

/// Replaced in the output pattern (its last occurrence) by the page number.
inline constexpr char kPageNumberPlaceholder[] = "%d";

/// Value "1": the pages are only an intermediate for the run's own PNG reader (format "JPG"), so
/// the renderer may write the cheapest valid PNG.
inline constexpr char kIntermediateEnv[] = "QUILLAMAR_INTERMEDIATE_PNG";

/// The number of an inherited, readable descriptor holding the PDF's password: every byte up to
/// its end, nothing added. Never an argument word, so that no process listing shows it.
inline constexpr char kPasswordFdEnv[] = "QUILLAMAR_PASSWORD_FD";

/// Starts a warning line on the renderer's standard error: the pages are complete and the exit
/// status is unchanged, but some of their text could not be drawn. At most one per PDF, before the
/// error line, which stays the last line.
inline constexpr char kWarningPrefix[] = "lib.dll: warning: ";
static_assert(std::string_view(kWarningPrefix).starts_with(kRendererFileName));

/// Value "1": the renderer runs unconfined (for comparing its speed with and without the
/// confinement; the run never sets it).
inline constexpr char kUnconfinedEnv[] = "QUILLAMAR_RENDERER_UNCONFINED";
/// Value "1": the renderer says on standard error when it could not confine itself fully.
inline constexpr char kVerboseEnv[] = "QUILLAMAR_RENDERER_VERBOSE";
/// "R,W": the decimal numbers of two inherited descriptors that the run opened for this renderer.
/// The renderer writes its announcements to W and reads the run's replies from R. Without the
/// variable (or with a value that is not two open descriptors) the renderer announces nothing.
inline constexpr char kPageChannelEnv[] = "QUILLAMAR_PAGE_CHANNEL";
/// Decimal: the most worker threads the renderer may use (the run's -j); its CPUs otherwise.
inline constexpr char kWorkersEnv[] = "QUILLAMAR_WORKERS";
/// Decimal, below kWorkersEnv: how many of them render from the start (a renderer started beside
/// others gets the cores they leave); the run grants the rest on the channel (kChannelWorkers).
inline constexpr char kWorkersNowEnv[] = "QUILLAMAR_WORKERS_NOW";
/// Decimal W >= 1: pacing by page number. The renderer starts page n + W only once the run has
/// consumed page n. Without it the renderer is not paced.
inline constexpr char kPageWindowEnv[] = "QUILLAMAR_PAGE_WINDOW";

/// The engine that paints the pages: kEngineMupdf or kEnginePoppler; without it (or when empty),
/// the renderer's default. Another value is a usage error.
inline constexpr char kEngineEnv[] = "QUILLAMAR_ENGINE";
inline constexpr char kEngineMupdf[] = "mupdf";
inline constexpr char kEnginePoppler[] = "poppler";

/// Decimal bytes: the most that the renderer's page bitmaps may hold at once, when the run starts
/// several renderers and splits the budget among them; half of kMemoryBudgetBytes otherwise.
inline constexpr char kMemoryBudgetEnv[] = "QUILLAMAR_MEMORY_BUDGET";

/// The channel's lines, each "WORD NUMBER\n". From the renderer: the page count first, then each
/// page once its file is complete under its final name (in any order, each once).
inline constexpr char kChannelPageCount[] = "pages";
inline constexpr char kChannelPageDone[] = "page";
/// From the renderer, "growing N T": page N's file is being written from its start, in a new file
/// named TemporaryPageName(the renderer's process id, T) beside its final name. Every byte up to
/// the file's current end is final. kChannelPageDone follows once the file is complete under its
/// final name, or kChannelPageFailed. Said only of uncompressed colour pages of at least
/// kGrowingPagePixels, so that the run may read a huge page while it is still being written.
inline constexpr char kChannelPageGrowing[] = "growing";
inline constexpr long long kGrowingPagePixels = 32LL << 20;
/// From the renderer: this page failed and will have no file.
inline constexpr char kChannelPageFailed[] = "failed";
/// From the run: the page it has consumed (its file is no longer needed on disk).
inline constexpr char kChannelConsumed[] = "consumed";
/// From the run: this many workers (at most kWorkersEnv) may render from now on.
inline constexpr char kChannelWorkers[] = "workers";
/// From the run, before kChannelConsumed: page K's file, consumed, is left for the renderer to
/// write a later page over, which costs less than a new file. The renderer takes it by renaming
/// it; the run removes the spares left once the renderer has ended.
inline constexpr char kChannelSpare[] = "spare";
/// The name of the renderer's temporary page file number `number`: hidden from anyone who lists
/// page files, and short, so that a page name near the length limit still gets a temporary.
inline std::string TemporaryPageName(long long process_id, unsigned number) {
  return std::string(".") + kRendererFileName + "-" + std::to_string(process_id) + "-" +
         std::to_string(number) + ".tmp";
}
/// The longest channel line, its newline included.
inline constexpr int kChannelLineMax = 32;

/// The most memory that the page bitmaps of a run may hold at once, the renderer's and the run's
/// together: each side takes half and works on fewer pages at a time when pages are large (always
/// at least one).
inline constexpr long long kMemoryBudgetBytes = 448LL << 20;
/// Bytes per pixel the renderer holds for a page being rendered and written (its 3-byte bitmap
/// and the row buffers of the writer).
inline constexpr long long kRendererBytesPerPixel = 5;
/// Bytes per pixel the run holds for a page being read and encoded (the PNG's storage, the 24-bit
/// bitmap, then the encoded JPEG).
inline constexpr long long kReencodeBytesPerPixel = 7;

/// The largest pacing window the run asks for, so that the intermediate files of a PDF stay few.
inline constexpr int kMaxPageWindow = 6;

/// Exit statuses of the renderer.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
/// The PDF is locked: no password was given, or the one given does not open it.
inline constexpr int kExitNeedsPassword = 4;

}  // namespace quillamar::contract
