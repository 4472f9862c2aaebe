#include "models/guesser_cache.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "support/text_format.hpp"

namespace kelvara::models {
namespace {

std::variant<GuesserPtr, std::string> decode_model(const Model& model) {
  const auto bytes = model.weights();
  if (bytes.empty()) return "model " + debug_quote(model.key) + " has no trained weights in this build";
  auto decoded = Guesser::from_bytes(bytes);
  if (auto* e = std::get_if<NnError>(&decoded)) return e->message();
  Guesser& g = std::get<Guesser>(decoded);
  const auto unparsable = [](const std::string& subject) {
    return NnError{NnError::Kind::Unparsable, subject}.message();
  };
  if (g.circuit != model.circuit) {
    return unparsable("model " + debug_quote(model.key) + " is registered as " + debug_quote(model.circuit) +
                      " but its weights were trained for " + debug_quote(g.circuit));
  }
  const ParseOutcome parsed = parse(model.circuit);
  if (parsed.error) return unparsable("registry circuit " + debug_quote(model.circuit));
  const auto names = param_names(parsed.tree);
  if (g.param_names != names) {
    return unparsable("model " + debug_quote(model.key) + " has parameters " + debug_quote_list(g.param_names) +
                      ", expected " + debug_quote_list(names));
  }
  return std::make_shared<const Guesser>(std::move(g));
}

NnError io_error(const std::string& text) { return {NnError::Kind::Io, text}; }

std::string os_error(int code) { return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"; }

NnResult<std::vector<std::uint8_t>> read_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return io_error("file name contained an unexpected NUL byte");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_error(os_error(errno));
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 1 << 16> buffer;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(fd);
      return io_error(os_error(code));
    }
    if (n == 0) break;
    if (bytes.size() + std::size_t(n) > kMaxWeightFileBytes) {
      ::close(fd);
      return io_error("file is larger than " + std::to_string(kMaxWeightFileBytes) + " bytes");
    }
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
  }
  ::close(fd);
  return bytes;
}

}  // namespace

const std::variant<GuesserPtr, std::string>& model_guesser(const Model& model) {
  static std::array<std::once_flag, kModelCount> once;
  static std::array<std::variant<GuesserPtr, std::string>, kModelCount> cells;
  const std::size_t index = std::size_t(&model - all().data());
  std::call_once(once[index], [&] { cells[index] = decode_model(model); });
  return cells[index];
}

NnResult<GuesserPtr> load_external(const std::string& path) {
  static std::mutex lock;
  static std::map<std::string, GuesserPtr> cache;
  const std::lock_guard<std::mutex> hold(lock);
  if (const auto it = cache.find(path); it != cache.end()) return it->second;
  auto bytes = read_file(path);
  if (auto* e = std::get_if<NnError>(&bytes)) return *e;
  auto decoded = Guesser::from_bytes(std::get<std::vector<std::uint8_t>>(bytes));
  if (auto* e = std::get_if<NnError>(&decoded)) return *e;
  auto g = std::make_shared<const Guesser>(std::move(std::get<Guesser>(decoded)));
  cache.emplace(path, g);
  return g;
}

}  // namespace kelvara::models
