// Later renderers of a run forked from the server that the first one started beside itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "renderer/renderer.h"
#include "support/temp_dir.h"

namespace quillamar::renderer {
namespace {

using testing::ReadFileText;
using testing::TempDir;

const std::string kRealRenderer = std::string(QUILLAMAR_BIN_DIR) + "/lib.dll";
const std::string kPdfs = std::string(QUILLAMAR_TESTDATA) + "/pdfs/";

// Stands in for the renderer: notes each execution, then is the real one (or, when told so,
// nothing more: a renderer that knows nothing of the offer).
std::string ExecutionCounter(const TempDir& dir, bool real = true) {
  return dir.Write("lib.dll",
                   "#!/bin/sh\necho x >> \"$(dirname \"$0\")/executions\"\n" +
                       (real ? "exec " + kRealRenderer + " \"$@\"\n" : std::string()),
                   /*executable=*/true);
}

int Executions(const TempDir& dir) {
  const std::string lines = ReadFileText(dir / "executions");
  return static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
}

pid_t AwaitServer(const RendererServer& server) {
  for (int i = 0; i < 500 && server.ServerId() <= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return server.ServerId();
}

struct Render {
  std::string pdf = "text_googledocs_1p.pdf";
  bool intermediate = false;
  std::optional<std::string> password;
};

RendererRequest RequestFor(const TempDir& dir, const std::string& renderer,
                           const std::string& folder, const Render& render,
                           RendererServer* server) {
  std::filesystem::create_directories(dir / folder);
  RendererRequest request;
  request.path = renderer;
  request.arguments = RendererArguments(dir / folder, "p", "72", kPdfs + render.pdf);
  request.intermediate_pages = render.intermediate;
  request.page_channel = true;
  request.password = render.password;
  request.server = server;
  return request;
}

// Starts the renderer and follows it to its end: its outcome, and the pages it announced.
std::pair<RenderOutcome, int> Follow(const RendererRequest& request) {
  const auto process = RendererProcess::Start(request);
  if (!process) return {RenderOutcome{}, 0};
  int announced = 0;
  for (PageEvent event = process->NextEvent(); event.kind != PageEvent::Kind::kEnded;
       event = process->NextEvent()) {
    if (event.kind == PageEvent::Kind::kPageDone) ++announced;
  }
  return {process->Finish(), announced};
}

bool NoChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(RendererServerTest, LaterRenderersAreForkedAndDoWhatAnExecutedOneDoes) {
  TempDir dir;
  const std::string renderer = ExecutionCounter(dir);
  {
    RendererServer server;
    EXPECT_EQ(Follow(RequestFor(dir, renderer, "first", {}, &server)).first.kind,
              RenderOutcome::Kind::kSucceeded);
    ASSERT_GT(AwaitServer(server), 0);
    // Each with its own environment, descriptors and arguments: intermediate pages, the channel,
    // a password.
    const Render cases[] = {{"text_latex_4p.pdf", true, std::nullopt},
                            {"encrypted_user_password.pdf", false, "openpassword"},
                            {"encrypted_user_password.pdf", false, std::nullopt}};
    for (const Render& render : cases) {
      SCOPED_TRACE(render.pdf);
      const auto forked = Follow(RequestFor(dir, renderer, "forked", render, &server));
      const auto executed = Follow(RequestFor(dir, renderer, "executed", render, nullptr));
      EXPECT_EQ(forked.first.kind, executed.first.kind);
      EXPECT_EQ(forked.first.exit_status, executed.first.exit_status);
      EXPECT_EQ(forked.second, executed.second);
      for (int page = 1; page <= executed.second; ++page) {
        const std::string name = "/p_" + std::to_string(page) + ".png";
        EXPECT_TRUE(ReadFileText(dir / "forked" + name) == ReadFileText(dir / "executed" + name))
            << name << " differs";
      }
    }
    EXPECT_EQ(Executions(dir), 4);  // the first, and each executed one
  }
  EXPECT_TRUE(NoChildLeft());
}

TEST(RendererServerTest, AForkedRendererStopsAsAnExecutedOne) {
  TempDir dir;
  const std::string renderer = ExecutionCounter(dir);
  RendererServer server;
  Follow(RequestFor(dir, renderer, "first", {}, &server));
  ASSERT_GT(AwaitServer(server), 0);
  const auto process = RendererProcess::Start(
      RequestFor(dir, renderer, "long", {"long_lecture_notes_117p.pdf", true, {}}, &server));
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->NextEvent().kind, PageEvent::Kind::kPageCount);
  process->Stop();
  EXPECT_EQ(process->Finish().kind, RenderOutcome::Kind::kStopped);
  EXPECT_EQ(Executions(dir), 1);
}

TEST(RendererServerTest, WithoutAServerEveryRendererIsExecuted) {
  TempDir dir;
  for (const bool server_killed : {false, true}) {
    SCOPED_TRACE(server_killed ? "the server was killed" : "the renderer ignores the offer");
    const std::string renderer = ExecutionCounter(dir, /*real=*/server_killed);
    std::filesystem::remove(dir / "executions");
    {
      RendererServer server;
      Follow(RequestFor(dir, renderer, "first", {}, &server));
      if (server_killed) ::kill(AwaitServer(server), SIGKILL);
      for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Follow(RequestFor(dir, renderer, "later", {}, &server)).first.kind,
                  RenderOutcome::Kind::kSucceeded);
      }
      EXPECT_EQ(server.ServerId(), -1);
      EXPECT_EQ(Executions(dir), 3);
    }
    EXPECT_TRUE(NoChildLeft());
  }
}

TEST(RendererServerTest, AHelloNamingAProcessNotOursIsNotTrusted) {
  TempDir dir;
  // Says hello with the process ID of its own child, which the run must never signal.
  const std::string renderer = dir.Write(
      "lib.dll",
      "#!/bin/sh\nsleep 30 &\npid=$!\necho $pid > \"$(dirname \"$0\")/stranger\"\n"
      "printf \"1HRQ$(printf '\\\\%03o\\\\%03o\\\\%03o\\\\%03o' $((pid & 255)) $((pid >> 8 & 255)) "
      "$((pid >> 16 & 255)) $((pid >> 24 & 255)))\" >&5\n",
      /*executable=*/true);
  {
    RendererServer server;
    Follow(RequestFor(dir, renderer, "first", {}, &server));
    EXPECT_EQ(server.ServerId(), -1);
  }
  const pid_t stranger = std::stoi(ReadFileText(dir / "stranger"));
  EXPECT_EQ(::kill(stranger, 0), 0) << "the stranger was killed";
  ::kill(stranger, SIGKILL);
}

TEST(ServerRequestTest, RoundTripsAndRefusesAnythingButOneWholeRequest) {
  const contract::ServerRequest request{{"lib", "", "考试 样例.pdf"}, {"A=1", "B="}, {2, 3, 4}};
  const std::string bytes = contract::EncodeServerRequest(request);
  const auto decoded = contract::DecodeServerRequest(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->arguments, request.arguments);
  EXPECT_EQ(decoded->environment, request.environment);
  EXPECT_EQ(decoded->targets, request.targets);
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(contract::DecodeServerRequest(bytes.substr(0, size))) << size;
  }
  EXPECT_FALSE(contract::DecodeServerRequest(bytes + "x"));
}

}  // namespace
}  // namespace quillamar::renderer
