// The contract between the run and the page renderer "lib.dll": its file name, argument words,
// environment variables, exit statuses and the words of the channel on which it announces pages.
// Header-only and free of dependencies, so that renderer/ and pagerender/ cannot drift apart.
#pragma once

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

/// Exit statuses of the renderer.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
/// The PDF is locked: no password was given, or the one given does not open it.
inline constexpr int kExitNeedsPassword = 4;

}  // namespace quillamar::contract
