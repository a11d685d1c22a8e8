#include "drill/status_watch.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "client/status_line.h"
#include "wire_protocol.h"

namespace tornax::drill {
namespace {

void set_receive_timeout(int fd, int seconds) {
  const timeval timeout{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// One line with the client's reader; nullopt at the end or on a time-out.
std::optional<std::string> next_line(int fd) {
  char line[receive_buffer_size];
  if (readline(fd, line, receive_buffer_size) <= 0) {
    return std::nullopt;
  }
  std::string text = line;
  if (!text.empty() && text.back() == '\r') {
    text.pop_back();
  }
  return text;
}

}  // namespace

int connect_loopback(int port) {
  const auto addresses = resolve_server("127.0.0.1", static_cast<unsigned int>(port));
  if (!addresses || addresses->empty()) {
    return -1;
  }
  const ServerAddress &server = addresses->front();
  const int fd = socket(server.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&server.address), server.length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string status_meaning(unsigned int word) {
  struct Bit {
    unsigned short bit;
    const char *meaning;
  };
  static constexpr Bit bits[] = {{ext_comm_error, "UPS not answering"},
                                 {ext_powerfail, "on battery"},
                                 {ext_lowbatt, "low battery"},
                                 {ext_schedule_down, "scheduled shutdown counting down"}};
  std::string meaning;
  for (const Bit &b : bits) {
    if ((word & b.bit) != 0) {
      meaning += (meaning.empty() ? "" : ", ") + std::string(b.meaning);
    }
  }
  return meaning.empty() ? "on mains" : meaning;
}

std::string hide_fields(const std::string &line, const std::vector<int> &hidden) {
  std::string shown;
  int field = 0;
  for (std::size_t at = 0; at <= line.size(); ++field) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    const bool hide = std::find(hidden.begin(), hidden.end(), field) != hidden.end();
    shown += (at == 0 ? "" : " ") + (hide ? std::string("-") : line.substr(at, end - at));
    at = end + 1;
  }
  return shown;
}

StatusWatch::~StatusWatch() {
  close();
}

bool StatusWatch::connect(int port, const std::string &location) {
  close();
  const int fd = connect_loopback(port);
  if (fd < 0) {
    return false;
  }
  set_receive_timeout(fd, 5);
  std::optional<std::string> line;
  for (int n = 0; n < header_line_count && (line = next_line(fd)); ++n) {
  }
  if (!line || *line != "\"" + location + "\"") {
    ::close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fd_ = fd;
  lines_ = LineAssembler();
  count_ = header_line_count;
  return true;
}

bool StatusWatch::take(std::vector<std::string> &shown) {
  if (fd_ < 0) {
    return false;
  }
  char buffer[1024];
  ssize_t n;
  while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
    lines_.append(buffer, static_cast<std::size_t>(n));
  }
  const bool ended = n == 0 || (errno != EAGAIN && errno != EINTR);
  bool any = false;
  while (const std::optional<std::string> line = lines_.take(receive_buffer_size)) {
    show(*line, shown);
    any = true;
  }
  if (ended) {
    if (const std::optional<std::string> rest = lines_.take_rest()) {
      show(*rest, shown);
      any = true;
    }
    close();
  }
  return any;
}

void StatusWatch::show(const std::string &line, std::vector<std::string> &shown) {
  ++count_;
  RemoteValues values;
  if (parse_status_line(line.c_str(), values) < 1) {
    return;
  }
  const long word = values.remote_status;
  if (word != last_word_ || count_ % 20 == 0) {
    shown.push_back(hide_fields(line, hidden_) + "   <- " + status_meaning(values.remote_status));
  }
  last_word_ = word;
}

void StatusWatch::close() {
  if (fd_ < 0) {
    return;
  }
  ::close(fd_);
  fd_ = -1;
}

std::string ask_numlogins(int port, const std::string &ups) {
  const int fd = connect_loopback(port);
  if (fd < 0) {
    return "";
  }
  set_receive_timeout(fd, 5);
  const std::string question = "GET NUMLOGINS " + ups + "\nLOGOUT\n";
  std::optional<std::string> answer;
  if (send(fd, question.data(), question.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(question.size())) {
    answer = next_line(fd);
  }
  ::close(fd);
  return answer.value_or("");
}

}  // namespace tornax::drill
