// The prepared renderer that later renderers of a run are forked from: the variable that offers
// it and the messages on its socket. Header-only and free of dependencies, like the contract.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillamar::contract {

/// Decimal: an inherited socket (AF_UNIX, SOCK_SEQPACKET) on which the run offers a server. A
/// renderer that knows it starts one beside itself, as the run's child, before it does anything
/// else, and goes on with its own PDF; one that does not simply ignores it. The server says
/// kServerHello, prepares the PDF library, and then forks a renderer per request.
inline constexpr char kServerEnv[] = "QUILLAMAR_RENDERER_SERVER";
/// Where the run places the offered socket in the renderer it starts.
inline constexpr int kServerFd = 5;
/// The longest request the server takes; the run executes a renderer whose request is longer.
inline constexpr std::size_t kMaxServerRequestBytes = 128 * 1024;

/// The first word of each message.
enum class ServerWord : std::uint32_t {
  kHello = 0x51524831,    ///< from the server, once: its process ID
  kRequest = 0x51525131,  ///< from the run: start a renderer
  kStarted = 0x51525331,  ///< from the server: the renderer's process ID, or minus an errno
};

/// A hello or a started reply.
struct ServerReply {
  ServerWord word;
  std::int32_t number;
};

/// One renderer to start: its arguments, its whole environment, and the descriptor number each
/// of the descriptors sent along (SCM_RIGHTS, in the same order) takes in it. Every other
/// descriptor above standard error is closed in it.
struct ServerRequest {
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  std::vector<std::int32_t> targets;
};

namespace server_detail {

inline void PutNumber(std::string& out, std::uint32_t number) {
  out.append(reinterpret_cast<const char*>(&number), sizeof number);
}

inline bool TakeNumber(std::string_view& in, std::uint32_t& number) {
  if (in.size() < sizeof number) return false;
  std::memcpy(&number, in.data(), sizeof number);
  in.remove_prefix(sizeof number);
  return true;
}

inline void PutTexts(std::string& out, const std::vector<std::string>& texts) {
  PutNumber(out, static_cast<std::uint32_t>(texts.size()));
  for (const std::string& text : texts) {
    PutNumber(out, static_cast<std::uint32_t>(text.size()));
    out += text;
  }
}

inline bool TakeTexts(std::string_view& in, std::vector<std::string>& texts) {
  std::uint32_t count = 0;
  if (!TakeNumber(in, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t size = 0;
    if (!TakeNumber(in, size) || in.size() < size) return false;
    texts.emplace_back(in.substr(0, size));
    in.remove_prefix(size);
  }
  return true;
}

}  // namespace server_detail

/// The request's bytes: its word, the targets, the arguments, the environment.
inline std::string EncodeServerRequest(const ServerRequest& request) {
  using namespace server_detail;
  std::string out;
  PutNumber(out, static_cast<std::uint32_t>(ServerWord::kRequest));
  PutNumber(out, static_cast<std::uint32_t>(request.targets.size()));
  for (const std::int32_t target : request.targets)
    PutNumber(out, static_cast<std::uint32_t>(target));
  PutTexts(out, request.arguments);
  PutTexts(out, request.environment);
  return out;
}

/// The request in the bytes, or nothing when they are not exactly one request.
inline std::optional<ServerRequest> DecodeServerRequest(std::string_view in) {
  using namespace server_detail;
  ServerRequest request;
  std::uint32_t word = 0;
  std::uint32_t targets = 0;
  if (!TakeNumber(in, word) || word != static_cast<std::uint32_t>(ServerWord::kRequest) ||
      !TakeNumber(in, targets) || targets > in.size() / sizeof targets) {
    return std::nullopt;
  }
  for (std::uint32_t i = 0; i < targets; ++i) {
    std::uint32_t target = 0;
    TakeNumber(in, target);
    request.targets.push_back(static_cast<std::int32_t>(target));
  }
  if (!TakeTexts(in, request.arguments) || !TakeTexts(in, request.environment) || !in.empty()) {
    return std::nullopt;
  }
  return request;
}

}  // namespace quillamar::contract
