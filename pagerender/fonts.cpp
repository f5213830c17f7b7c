// The renderer's own font setup, and the fonts whose text the PDF library could not draw.
#include "pagerender/fonts.h"

#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace quillamar::pagerender {
namespace {

thread_local UndrawnTextWatch* current_watch = nullptr;

// The file fontconfig loads its setup from when first asked.
constexpr char kFontSetupEnv[] = "FONTCONFIG_FILE";

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
  if (::access(path.c_str(), R_OK) != 0) return false;
  // fontconfig reads the file named here when its setup is first needed.
  return ::setenv(kFontSetupEnv, path.c_str(), 1) == 0;
}

std::vector<std::string> FontSetupFolders() {
  std::vector<std::string> folders = {"/etc/fonts", "/usr/share/fontconfig", "/usr/share/fonts",
                                      "/usr/local/share/fonts", "/var/cache/fontconfig"};
  if (const char* file = std::getenv(kFontSetupEnv); file != nullptr && *file == '/') {
    folders.push_back(std::string(file).substr(0, std::string(file).rfind('/')));
  }
  if (const char* path = std::getenv("FONTCONFIG_PATH"); path != nullptr) {
    std::string_view rest(path);
    while (!rest.empty()) {
      const std::string_view folder = rest.substr(0, rest.find(':'));
      if (!folder.empty()) folders.emplace_back(folder);
      rest.remove_prefix(std::min(rest.size(), folder.size() + 1));
    }
  }
  const char* home = reinterpret_cast<const char*>(FcConfigHome());
  // Where a user's own configuration, fonts and caches live, each under its XDG variable.
  const auto user_folder = [&](const char* variable, const char* fallback, const char* name) {
    const char* base = std::getenv(variable);
    if (base != nullptr && *base == '/') {
      folders.push_back(std::string(base) + "/" + name);
    } else if (home != nullptr) {
      folders.push_back(std::string(home) + "/" + fallback + "/" + name);
    }
  };
  user_folder("XDG_CONFIG_HOME", ".config", "fontconfig");
  user_folder("XDG_DATA_HOME", ".local/share", "fonts");
  user_folder("XDG_CACHE_HOME", ".cache", "fontconfig");
  if (home != nullptr) {
    for (const char* legacy : {".fonts", ".fontconfig", ".fonts.conf", ".fonts.conf.d"}) {
      folders.push_back(std::string(home) + "/" + legacy);
    }
  }
  return folders;
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
