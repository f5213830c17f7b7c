// The run-wide rules that the run, its page loops and the renderers started ahead share: the
// settings read as the run means them, the texts a renderer is started with, its request.
#pragma once

#include <chrono>
#include <string>

#include "batch/batch.h"
#include "renderer/renderer.h"

namespace quillamar::batch {

/// The settings' stop signal has been raised.
bool StopRequested(const RunSettings& settings);
/// The workers the run may use: the settings' jobs, or DefaultJobs().
int JobsOf(const RunSettings& settings);
/// How often the run serves the renderers started ahead while it waits for anything else.
inline constexpr std::chrono::milliseconds kServePeriod{2};
/// How many pages the renderer may run ahead of the page the run commits.
int PageWindowFor(int jobs);

/// The texts a PDF's renderer is started with.
struct RenderTexts {
  std::string folder;
  std::string format;
  std::string resolution;
  bool operator==(const RenderTexts&) const = default;
};

/// The texts as the host has them now.
RenderTexts TextsOf(RunHost& host);

/// Where a run's renderers come from: the executable, and the server that forks them once it is
/// ready (null: each is executed).
struct RendererSource {
  std::string path;
  renderer::RendererServer* server = nullptr;
};

/// The request for one PDF's renderer writing into folder with the workers given.
renderer::RendererRequest RendererRequestFor(const RendererSource& renderers,
                                             const RenderTexts& texts, const std::string& folder,
                                             const std::string& pdf, const RunSettings& settings,
                                             int workers);

}  // namespace quillamar::batch
