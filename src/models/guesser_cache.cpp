#include "models/guesser_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "support/text_format.hpp"

namespace kelvara::models {
namespace {

std::variant<GuesserPtr, std::string> decode_model(const Model& model) {
  const auto bytes = model.weights();
  if (bytes.empty())
    return "model " + debug_quote(model.key) + " has no trained weights in this build";
  auto decoded = Guesser::from_bytes(bytes);
  if (auto* e = std::get_if<NnError>(&decoded)) return e->message();
  Guesser& g = std::get<Guesser>(decoded);
  const auto unparsable = [](const std::string& subject) {
    return NnError{NnError::Kind::Unparsable, subject}.message();
  };
  if (g.circuit != model.circuit) {
    return unparsable("model " + debug_quote(model.key) + " is registered as " +
                      debug_quote(model.circuit) + " but its weights were trained for " +
                      debug_quote(g.circuit));
  }
  const ParseOutcome parsed = parse(model.circuit);
  if (parsed.error) return unparsable("registry circuit " + debug_quote(model.circuit));
  const auto names = param_names(parsed.tree);
  if (g.param_names != names) {
    return unparsable("model " + debug_quote(model.key) + " has parameters " +
                      debug_quote_list(g.param_names) + ", expected " + debug_quote_list(names));
  }
  return std::make_shared<const Guesser>(std::move(g));
}

NnError io_error(const std::string& text) { return {NnError::Kind::Io, text}; }

std::string os_error(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

const char* kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// An open descriptor closed on every way out.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

NnResult<std::vector<std::uint8_t>> read_all(int fd) {
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 1 << 16> buffer;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return io_error(os_error(errno));
    if (n == 0) return bytes;
    if (bytes.size() + std::size_t(n) > kMaxWeightFileBytes) {
      return io_error("file is larger than " + std::to_string(kMaxWeightFileBytes) + " bytes");
    }
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
  }
}

// A file's network is used again only for the same bytes: reading them is
// a small part of a guess, decoding them most of it, and no cheaper test
// (size, times, inode) sees a file rewritten in place with its times put
// back.
struct Entry {
  std::string resolved;
  std::vector<std::uint8_t> bytes;
  GuesserPtr guesser;
};

std::mutex external_lock;
std::list<Entry> external;  // most recently used first

}  // namespace

const std::variant<GuesserPtr, std::string>& model_guesser(const Model& model) {
  static std::array<std::once_flag, kModelCount> once;
  static std::array<std::variant<GuesserPtr, std::string>, kModelCount> cells;
  const std::size_t index = std::size_t(&model - all().data());
  std::call_once(once[index], [&] { cells[index] = decode_model(model); });
  return cells[index];
}

NnResult<GuesserPtr> load_external(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return io_error("file name contained an unexpected NUL byte");
  const std::lock_guard<std::mutex> hold(external_lock);
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  const Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return io_error(os_error(errno));
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return io_error(os_error(errno));
  if (!S_ISREG(st.st_mode)) {
    return io_error(debug_quote(path) + " is " + kind_of(st.st_mode) + ", not a regular file");
  }
  std::string resolved = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    resolved = real;
    std::free(real);
  }
  auto read = read_all(file.fd);
  if (auto* e = std::get_if<NnError>(&read)) return *e;
  auto& bytes = std::get<std::vector<std::uint8_t>>(read);
  for (auto it = external.begin(); it != external.end(); ++it) {
    if (it->resolved != resolved) continue;
    if (it->bytes == bytes) {
      external.splice(external.begin(), external, it);
      return it->guesser;
    }
    external.erase(it);  // the file changed: decode it again
    break;
  }
  auto decoded = Guesser::from_bytes(bytes);
  if (auto* e = std::get_if<NnError>(&decoded)) return *e;
  auto g = std::make_shared<const Guesser>(std::move(std::get<Guesser>(decoded)));
  external.push_front({std::move(resolved), std::move(bytes), g});
  if (external.size() > kExternalCacheEntries) external.pop_back();
  return g;
}

std::size_t external_cache_size() {
  const std::lock_guard<std::mutex> hold(external_lock);
  return external.size();
}

}  // namespace kelvara::models
