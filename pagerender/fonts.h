// Fonts for text that a PDF names but does not embed: the renderer's own font setup, and noticing
// the text that could still not be drawn.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace quillamar::pagerender {

/// The renderer's font setup, beside the program: the system's plus substitutes for CJK fonts.
inline constexpr char kFontSetupFileName[] = "lib-fonts.conf";

/// Makes the font setup in kFontSetupFileName in the folder the one fontconfig loads when first
/// asked for a font (call before any thread starts). Most PDFs embed all their fonts, so the setup
/// is only read by those that need it. Returns false, and the system's own setup stays, when the
/// file cannot be read.
bool UseFontSetup(const std::string& folder);

/// The folders a font setup reads when it loads: fontconfig's configuration (the system's, the
/// user's and the one the environment names), the font folders and the font caches of the system
/// and of the user. Named here, not read from the setup, so that knowing them costs no loading.
std::vector<std::string> FontSetupFolders();

/// A font the PDF library could not draw text with: a name from the PDF, or only its resource
/// name when the font itself was unusable (for one, its CMap is missing).
struct UndrawnFont {
  std::string name;
  bool is_resource_name = false;
};

/// While it lives, collects the fonts that the PDF library reports on this thread as unusable
/// for text. Watches may nest; the innermost one collects.
class UndrawnTextWatch {
 public:
  UndrawnTextWatch();
  ~UndrawnTextWatch();
  UndrawnTextWatch(const UndrawnTextWatch&) = delete;
  UndrawnTextWatch& operator=(const UndrawnTextWatch&) = delete;

  /// Each font once, in the order first reported.
  const std::vector<UndrawnFont>& Fonts() const { return fonts_; }
  void Add(UndrawnFont font);

 private:
  std::vector<UndrawnFont> fonts_;
  UndrawnTextWatch* outer_;
};

/// Hands one diagnostic of the PDF library to this thread's watch, if there is one; only those
/// that mean text is not drawn are kept.
void NoteLibraryDiagnostic(const char* message);

/// Hands a font whose text cannot be drawn to this thread's watch, if there is one.
void NoteUndrawnFont(const std::string& name);

/// The language of a CJK character collection ("Adobe-GB1" gives "zh-cn"), or "" for another.
std::string CollectionLanguage(const std::string& collection);

/// Whether the current font setup has a face for the language (asked once per language).
bool HasFaceFor(const std::string& language);

/// Font names and the pages (from 1) where their text was not drawn.
using UndrawnTextPages = std::map<std::string, std::set<int>>;

/// The text of the one warning about a PDF: "PDF: text not drawn (font missing or unusable):
/// NAME on pages 1-3, 7; NAME on page 2". Control characters in names become "?".
std::string UndrawnTextWarning(const std::string& pdf, const UndrawnTextPages& pages);

}  // namespace quillamar::pagerender
