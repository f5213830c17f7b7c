// Where the renderer is and what it is told: its path beside our executable and its arguments.
#include "renderer/renderer.h"

#include "framework/paths.h"

namespace quillamar::renderer {

std::string RendererPathBeside(const std::string& executable) {
  return FolderOf(executable) + "/" + kRendererFileName;
}

std::string RendererPath() { return RendererPathBeside(RunningExecutablePath()); }

std::vector<std::string> RendererArguments(const std::string& pattern,
                                           const std::string& resolution, const std::string& pdf) {
  return {
      contract::kProgramArgument, contract::kOutputOption,     pattern,    contract::kFormatOption,
      contract::kPngFormat,       contract::kResolutionOption, resolution, pdf};
}

}  // namespace quillamar::renderer
