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

#include "contract/page_channel.h"
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
  request.arguments = RendererArguments(dir / (folder + "/p_%d.png"), "72", kPdfs + render.pdf);
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

// Each forked renderer pages, fails and stops as an executed one does.
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
    const auto process = RendererProcess::Start(
        RequestFor(dir, renderer, "long", {"long_lecture_notes_117p.pdf", true, {}}, &server));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->NextEvent().kind, PageEvent::Kind::kPageCount);
    process->Stop();
    EXPECT_EQ(process->Finish().kind, RenderOutcome::Kind::kStopped);
    EXPECT_EQ(Executions(dir), 4);  // the first, and each executed one
  }
  EXPECT_TRUE(NoChildLeft());
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

// ---- the page channel's lines ----

using Message = contract::ChannelMessage;
using MessageKind = contract::ChannelMessage::Kind;

TEST(ChannelLineTest, EveryMessageRoundTripsInOneLineThatFits) {
  for (const MessageKind kind :
       {MessageKind::kPageCount, MessageKind::kPageDone, MessageKind::kPageGrowing,
        MessageKind::kPageFailed, MessageKind::kConsumed, MessageKind::kWorkers,
        MessageKind::kSpare}) {
    const Message message{kind, 2147483647, kind == MessageKind::kPageGrowing ? 4294967295u : 0u};
    const std::string line = contract::FormatChannelLine(message);
    EXPECT_LE(line.size(), static_cast<std::size_t>(contract::kChannelLineMax)) << line;
    ASSERT_TRUE(line.ends_with('\n'));
    EXPECT_EQ(contract::ParseChannelLine(std::string_view(line).substr(0, line.size() - 1)),
              message)
        << line;
  }
  EXPECT_EQ(contract::FormatChannelLine({MessageKind::kPageGrowing, 3, 7}), "growing 3 7\n");
  EXPECT_EQ(contract::FormatChannelLine({MessageKind::kConsumed, 12}), "consumed 12\n");
}

TEST(ChannelLineTest, LinesThatAreNoneOfTheChannelsAreRefused) {
  for (const char* line : {"", "pages", "pages ", "pages x", "pages 1 2", "pages 1 ", "pages  1",
                           "Pages 1", "growing 3", "growing 3 ", "growing 3 x", "growing 3 4 5",
                           "spare 99999999999", "hello 1"}) {
    EXPECT_FALSE(contract::ParseChannelLine(line)) << '"' << line << '"';
  }
}

// Lines come in any pieces; unknown ones are passed over, and text that never ends a line is
// dropped once it passes a few lines' length.
TEST(ChannelLineTest, PiecesBecomeWholeLinesAndEndlessTextIsDropped) {
  contract::ChannelLines lines;
  const std::string text = "pages 3\nnoise 1\npage 1\ngrow";
  for (const char c : text) lines.Append(&c, 1);
  EXPECT_EQ(lines.Next(), (Message{MessageKind::kPageCount, 3}));
  EXPECT_EQ(lines.Next(), (Message{MessageKind::kPageDone, 1}));
  EXPECT_EQ(lines.Next(), std::nullopt);
  lines.Append("ing 2 5\n", 8);
  EXPECT_EQ(lines.Next(), (Message{MessageKind::kPageGrowing, 2, 5}));
  const std::string endless(4 * contract::kChannelLineMax + 1, 'x');
  lines.Append(endless.data(), endless.size());
  EXPECT_EQ(lines.Next(), std::nullopt);
  lines.Append("failed 4\n", 9);  // kept, the endless text would have made it no line of ours
  EXPECT_EQ(lines.Next(), (Message{MessageKind::kPageFailed, 4}));
}

}  // namespace
}  // namespace quillamar::renderer
