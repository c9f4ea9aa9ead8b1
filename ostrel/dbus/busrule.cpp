#include "busrule.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "busaddress.h"
#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace {

using Clock = std::chrono::steady_clock;

std::string nonEmpty(const EnvironmentLookup& environment, const char* name) {
  const char* value = environment(name);
  return value != nullptr ? value : "";
}

// A folder name without trailing slashes ("/" stays "/"), then "/" and `name`.
std::string join(std::string dir, const std::string& name) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir == "/") return "/" + name;
  return dir + "/" + name;
}

bool isPlainValueByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && hexValue(value[i + 1]) >= 0 &&
        hexValue(value[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(value[i + 1]) * 16 + hexValue(value[i + 2]));
      i += 2;
    } else {
      out += value[i];
    }
  }
  return out;
}

struct Transport {
  std::string name;
  std::map<std::string, std::string> keys;
};

bool parse(const std::string& address, std::vector<Transport>* transports) {
  for (const std::string& entry : splitAt(address, ';')) {
    if (entry.find_first_not_of(" \t\r\n") == std::string::npos) continue;
    const size_t colon = entry.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    Transport transport{entry.substr(0, colon), {}};
    const std::string rest = entry.substr(colon + 1);
    if (!rest.empty()) {
      for (const std::string& pair : splitAt(rest, ',')) {
        const size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) return false;
        transport.keys[pair.substr(0, equals)] = unescape(pair.substr(equals + 1));
      }
    }
    transports->push_back(std::move(transport));
  }
  return !transports->empty();
}

// Closes the descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int millisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int r = ::poll(&entry, 1, millisecondsUntil(deadline));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

// Connects `fd` to `address` within the deadline and speaks the opening of the
// authentication.
bool handshake(int fd, const sockaddr* address, socklen_t length, Clock::time_point deadline,
               std::string* why) {
  if (::connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) {
      *why = errno == ENOENT ? "no socket" : std::strerror(errno);
      return false;
    }
    if (!waitFor(fd, POLLOUT, deadline)) {
      *why = "no answer";
      return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      *why = std::strerror(error);
      return false;
    }
  }
  static const char kOpening[] = "\0AUTH\r\n";
  if (::send(fd, kOpening, sizeof kOpening - 1, MSG_NOSIGNAL) != sizeof kOpening - 1) {
    *why = "closed without answer";
    return false;
  }
  std::string reply;
  while (reply.find("\r\n") == std::string::npos) {
    if (!waitFor(fd, POLLIN, deadline)) {
      *why = "no answer";
      return false;
    }
    char buffer[256];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *why = "closed without answer";
      return false;
    }
    reply.append(buffer, static_cast<size_t>(got));
  }
  for (const char* answer : {"REJECTED", "OK", "ERROR"}) {
    const size_t n = std::strlen(answer);
    if (reply.compare(0, n, answer) == 0 &&
        (reply.size() == n || reply[n] == ' ' || reply[n] == '\r')) {
      return true;
    }
  }
  *why = "not a D-Bus server";
  return false;
}

bool tryUnix(const std::string& path, bool abstract, int timeoutMs, std::string* why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof address.sun_path) {
    *why = "socket path too long";
    return false;
  }
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                  path.size() + (abstract ? 0 : 1));
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    *why = std::strerror(errno);
    return false;
  }
  return handshake(fd.get(), reinterpret_cast<const sockaddr*>(&address), length,
                   Clock::now() + std::chrono::milliseconds(timeoutMs), why);
}

bool tryTcp(const std::string& host, const std::string& port, int timeoutMs, std::string* why) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r =
      ::getaddrinfo(host.empty() ? "localhost" : host.c_str(), port.c_str(), &hints, &found);
  if (r != 0) {
    *why = ::gai_strerror(r);
    return false;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ok = false;
  for (addrinfo* each = found; each != nullptr && !ok; each = each->ai_next) {
    FileDescriptor fd(::socket(each->ai_family, each->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               each->ai_protocol));
    if (fd.get() < 0) continue;
    ok = handshake(fd.get(), each->ai_addr, each->ai_addrlen, deadline, why);
  }
  ::freeaddrinfo(found);
  return ok;
}

}  // namespace

std::string unixPathAddress(const std::string& path) {
  static const char kHex[] = "0123456789abcdef";
  std::string address = "unix:path=";
  for (const unsigned char c : path) {
    if (isPlainValueByte(c)) {
      address += static_cast<char>(c);
    } else {
      address += '%';
      address += kHex[c >> 4];
      address += kHex[c & 15];
    }
  }
  return address;
}

bool busAnswers(const std::string& address, int timeoutMs, std::string* why) {
  std::vector<Transport> transports;
  if (!parse(address, &transports)) {
    *why = "not a D-Bus address";
    return false;
  }
  bool tried = false;
  *why = "no answer";
  for (const Transport& transport : transports) {
    const auto& keys = transport.keys;
    const auto path = keys.find("path");
    const auto abstract = keys.find("abstract");
    const auto port = keys.find("port");
    if (transport.name == "unix" && path != keys.end() && !path->second.empty()) {
      tried = true;
      if (tryUnix(path->second, false, timeoutMs, why)) return true;
    } else if (transport.name == "unix" && abstract != keys.end() && !abstract->second.empty()) {
      tried = true;
      if (tryUnix(abstract->second, true, timeoutMs, why)) return true;
    } else if (transport.name == "tcp" && port != keys.end() && !port->second.empty()) {
      tried = true;
      const auto host = keys.find("host");
      if (tryTcp(host != keys.end() ? host->second : "", port->second, timeoutMs, why)) return true;
    }
  }
  if (!tried) why->clear();
  return !tried;
}

BusChoice chooseBus(const EnvironmentLookup& environment, unsigned long uid,
                    const AnswerCheck& answers) {
  const std::string own = nonEmpty(environment, wire::kAddressVariable);
  if (!own.empty()) {
    return {own, wire::kAddressVariable, std::string(wire::kAddressVariable) + " is set"};
  }
  const std::string runtime = nonEmpty(environment, "XDG_RUNTIME_DIR");
  std::string session = nonEmpty(environment, "DBUS_SESSION_BUS_ADDRESS");
  const char* from = "DBUS_SESSION_BUS_ADDRESS";
  if (session.empty() && !runtime.empty()) {
    session = unixPathAddress(join(runtime, "bus"));
    from = "XDG_RUNTIME_DIR";
  }
  std::string skipped =
      "no session bus (neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)";
  if (!session.empty()) {
    std::string why;
    if (answers(session, &why)) {
      return {session, "session bus", std::string("the session bus answers (from ") + from + ")"};
    }
    skipped = "the session bus at " + session + " (from " + from + ") does not answer" +
              (why.empty() ? "" : " (" + why + ")");
  }
  std::string temporary = nonEmpty(environment, "TMPDIR");
  if (temporary.empty()) temporary = "/tmp";
  const std::string dir = runtime.empty() ? join(temporary, "corvelle-" + std::to_string(uid))
                                          : join(runtime, "corvelle");
  return {unixPathAddress(join(dir, "bus")), "private bus",
          std::string("no ") + wire::kAddressVariable + ", and " + skipped +
              ": the per-user private bus of `corvelle start`, in " + dir};
}

BusChoice chooseBusForProcess() {
  return chooseBus([](const char* name) { return std::getenv(name); },
                   static_cast<unsigned long>(::getuid()),
                   [](const std::string& address, std::string* why) {
                     return busAnswers(address, kSessionProbeMs, why);
                   });
}

}  // namespace ostrel_dbus
