#include "bench/http_scrapes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tornax::bench {
namespace {

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  const timeval limit{5, 0};  // a hung endpoint fails the scrape, not the bench
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool scrape(int port, const std::string &path) {
  const int fd = connect_to(port);
  if (fd < 0) {
    return false;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
  std::string answer;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char chunk[16384];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
      answer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
         answer.find("\r\n\r\n") != std::string::npos;
}

int scrape_many(int port, const std::string &path, int count) {
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    failed += scrape(port, path) ? 0 : 1;
  }
  return failed;
}

PacedScraper::PacedScraper(int port, std::string path, std::chrono::milliseconds interval)
    : thread_([this, port, path = std::move(path), interval] {
        auto next = std::chrono::steady_clock::now();
        while (!stop_.load()) {
          failed_ += scrape(port, path) ? 0 : 1;
          ++done_;
          next += interval;
          std::this_thread::sleep_until(next);
        }
      }) {}

PacedScraper::~PacedScraper() {
  stop_ = true;
  thread_.join();
}

}  // namespace tornax::bench
