// The renderer's own font setup, and the fonts whose text the PDF library could not draw.
#include "pagerender/fonts.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

namespace quillamar::pagerender {
namespace {

thread_local UndrawnTextWatch* current_watch = nullptr;

// The library's words for text it cannot draw, each followed by the font in quotes.
struct DiagnosticShape {
  std::string_view start;
  bool names_resource;
};
constexpr DiagnosticShape kUndrawnTextDiagnostics[] = {
    {"Unknown font tag '", true},  // the font could not be loaded at all (no CMap, say)
    {"Couldn't find a font for '", false},
    {"Couldn't create a font for '", false},
};

// Names from a PDF may hold any byte; the warning stays on one line.
std::string Printable(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
  return text;
}

// "1-3, 7" for pages 1, 2, 3 and 7.
std::string PageRanges(const std::set<int>& pages) {
  std::string text;
  for (auto page = pages.begin(); page != pages.end();) {
    int last = *page;
    auto next = std::next(page);
    while (next != pages.end() && *next == last + 1) last = *next++;
    if (!text.empty()) text += ", ";
    text += std::to_string(*page);
    if (last != *page) {
      text += '-';  // appended apart: g++ 12 at -O3 warns falsely on "-" + string
      text += std::to_string(last);
    }
    page = next;
  }
  return text;
}

// Enough fonts to act on; the line stays short for a PDF with hundreds of broken ones.
constexpr std::size_t kMostFontsNamed = 8;

}  // namespace

bool UseFontSetup(const std::string& folder) {
  const std::string path = folder + "/" + kFontSetupFileName;
  FcConfig* config = FcConfigCreate();
  if (config == nullptr) return false;
  // "Complain" makes a missing file a failure rather than an empty setup without any fonts.
  const bool usable =
      FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(path.c_str()), FcTrue) &&
      FcConfigBuildFonts(config) && FcConfigSetCurrent(config);
  FcConfigDestroy(config);  // the current setup holds its own reference
  return usable;
}

UndrawnTextWatch::UndrawnTextWatch() : outer_(current_watch) { current_watch = this; }
UndrawnTextWatch::~UndrawnTextWatch() { current_watch = outer_; }

void UndrawnTextWatch::Add(UndrawnFont font) {
  const bool known = std::any_of(fonts_.begin(), fonts_.end(), [&](const UndrawnFont& seen) {
    return seen.name == font.name && seen.is_resource_name == font.is_resource_name;
  });
  if (!known) fonts_.push_back(std::move(font));
}

void NoteLibraryDiagnostic(const char* message) {
  if (current_watch == nullptr || message == nullptr) return;
  const std::string_view text(message);
  for (const DiagnosticShape& shape : kUndrawnTextDiagnostics) {
    if (!text.starts_with(shape.start)) continue;
    std::string_view name = text.substr(shape.start.size());
    name = name.substr(0, name.rfind('\''));
    current_watch->Add(UndrawnFont{std::string(name), shape.names_resource});
    return;
  }
}

void NoteUndrawnFont(const std::string& name) {
  if (current_watch != nullptr) current_watch->Add(UndrawnFont{name, false});
}

std::string CollectionLanguage(const std::string& collection) {
  static const std::map<std::string, std::string, std::less<>> kLanguages = {
      {"Adobe-GB1", "zh-cn"},
      {"Adobe-CNS1", "zh-tw"},
      {"Adobe-Japan1", "ja"},
      {"Adobe-Korea1", "ko"}};
  const auto found = kLanguages.find(collection);
  return found == kLanguages.end() ? std::string() : found->second;
}

bool HasFaceFor(const std::string& language) {
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  const std::lock_guard lock(mutex);
  if (const auto found = known.find(language); found != known.end()) return found->second;
  FcPattern* pattern = FcPatternCreate();
  FcLangSet* languages = FcLangSetCreate();
  FcLangSetAdd(languages, reinterpret_cast<const FcChar8*>(language.c_str()));
  FcPatternAddLangSet(pattern, FC_LANG, languages);
  FcObjectSet* fields = FcObjectSetBuild(FC_FILE, nullptr);
  FcFontSet* faces = FcFontList(nullptr, pattern, fields);
  const bool has_face = faces != nullptr && faces->nfont > 0;
  if (faces != nullptr) FcFontSetDestroy(faces);
  FcObjectSetDestroy(fields);
  FcLangSetDestroy(languages);
  FcPatternDestroy(pattern);
  known.emplace(language, has_face);
  return has_face;
}

std::string UndrawnTextWarning(const std::string& pdf, const UndrawnTextPages& pages) {
  std::string text = Printable(pdf) + ": text not drawn (font missing or unusable): ";
  std::size_t named = 0;
  for (const auto& [font, font_pages] : pages) {
    if (named == kMostFontsNamed) {
      text += "; ";
      text += std::to_string(pages.size() - named) + " more fonts";
      break;
    }
    if (named++ > 0) text += "; ";
    text += Printable(font) + (font_pages.size() == 1 ? " on page " : " on pages ") +
            PageRanges(font_pages);
  }
  return text;
}

}  // namespace quillamar::pagerender
