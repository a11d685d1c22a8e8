// tornax-upssim: a simulated UPS on a pseudo-terminal. Prints the pty's path,
// answers the serial protocol there, prints every command it receives, and
// takes control commands on standard input, a FIFO and a Unix socket.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "sim/control.h"
#include "sim/simulated_ups.h"

namespace tornax {
namespace {

constexpr std::size_t max_control_line = 4096;
constexpr std::size_t max_socket_clients = 16;

std::mutex print_mutex;
int signal_pipe[2] = {-1, -1};

// Whole lines only, so the I/O thread's and the main thread's prints never mix.
void say(const std::string &text) {
  std::lock_guard lock(print_mutex);
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void print_received(const ReceivedCommand &command, bool quiet) {
  if (!quiet || is_control_command(command)) {
    say(received_line(command));
  }
}

void on_signal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
}

struct Options {
  SimulatedUpsOptions ups;
  std::string fifo_path;
  std::string socket_path;
  bool quiet = false;
};

void usage(FILE *out) {
  std::fprintf(out,
               "usage: tornax-upssim [options]\n"
               "A simulated UPS on a pseudo-terminal. The first line of output is the pty's\n"
               "path; open it as the UPS serial device. Every command received is printed.\n"
               "\n"
               "  -l, --link PATH      also make a symlink PATH to the pty (removed on exit)\n"
               "  -c, --fifo PATH      read control commands from a FIFO at PATH (made if\n"
               "                       missing); their answers go to standard output\n"
               "  -s, --socket PATH    accept control connections on a Unix socket at PATH;\n"
               "                       each command line gets one answer line back\n"
               "  -P, --protocol NAME  the protocol spoken: classic (default) or qx (2400\n"
               "                       baud; Q1, I and F, the status in bits)\n"
               "  -i, --id TEXT        identification text (default \"%s\")\n"
               "  -f, --family NAME    identification with NAME at offset 8 (e.g. Kyrel)\n"
               "  -n, --nominal VOLTS  nominal line voltage (default 230)\n"
               "  -b, --battery PCT    battery level at start (default 100)\n"
               "  -r, --runtime MIN    backup time of a full battery (default 30)\n"
               "  -w, --low PCT        on battery, the level where low battery starts\n"
               "                       (default 10; 0 never)\n"
               "  -t, --test SECONDS   how long a self-test runs (default 10)\n"
               "  -o, --mains-off      start on battery\n"
               "  -B, --blank          mark quiet replies with a blank\n"
               "  -p, --pacing         deliver replies after their time at 4800 baud\n"
               "                       (qx 2400)\n"
               "  -z, --zero-on-mains ignore|obey\n"
               "                       what a switch-off of 0 does while the mains are\n"
               "                       present (default ignore)\n"
               "  -S, --seed N         the random bytes and choices of the fault modes\n"
               "                       (default 1)\n"
               "  -q, --quiet          print only control commands, not the queries\n"
               "  -h, --help           this text\n"
               "\n"
               "Control commands (standard input, FIFO or socket), one per line:\n%s\n",
               SimulatedUpsOptions{}.identification.c_str(), control_help());
}

bool number_option(const char *text, double low, double high, double *out) {
  char *end = nullptr;
  const double value = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !(value >= low && value <= high)) {
    return false;
  }
  *out = value;
  return true;
}

// Returns the exit status to end with, or -1 to go on.
int parse_options(int argc, char **argv, Options *options) {
  static const struct option long_options[] = {{"link", required_argument, nullptr, 'l'},
                                               {"fifo", required_argument, nullptr, 'c'},
                                               {"socket", required_argument, nullptr, 's'},
                                               {"protocol", required_argument, nullptr, 'P'},
                                               {"id", required_argument, nullptr, 'i'},
                                               {"family", required_argument, nullptr, 'f'},
                                               {"nominal", required_argument, nullptr, 'n'},
                                               {"battery", required_argument, nullptr, 'b'},
                                               {"runtime", required_argument, nullptr, 'r'},
                                               {"low", required_argument, nullptr, 'w'},
                                               {"test", required_argument, nullptr, 't'},
                                               {"mains-off", no_argument, nullptr, 'o'},
                                               {"blank", no_argument, nullptr, 'B'},
                                               {"pacing", no_argument, nullptr, 'p'},
                                               {"zero-on-mains", required_argument, nullptr, 'z'},
                                               {"quiet", no_argument, nullptr, 'q'},
                                               {"seed", required_argument, nullptr, 'S'},
                                               {"help", no_argument, nullptr, 'h'},
                                               {nullptr, 0, nullptr, 0}};
  SimulatedUpsOptions &ups = options->ups;
  double test_seconds = ups.self_test_seconds;
  // The options that take one number within a range.
  struct NumberOption {
    int letter;
    double low, high;
    double *value;
  };
  const NumberOption numbers[] = {{'n', 1, 1000, &ups.nominal_voltage},
                                  {'b', 0, 100, &ups.battery_percent},
                                  {'r', 0.1, 100000, &ups.runtime_minutes},
                                  {'w', 0, 100, &ups.low_battery_percent},
                                  {'t', 0, 86400, &test_seconds}};
  int c;
  while ((c = getopt_long(argc, argv, "l:c:s:P:i:f:n:b:r:w:t:oBpz:qS:h", long_options, nullptr)) !=
         -1) {
    bool good = true;
    switch (c) {
      case 'l':
        ups.link_path = optarg;
        break;
      case 'c':
        options->fifo_path = optarg;
        break;
      case 's':
        options->socket_path = optarg;
        break;
      case 'P':
        good = std::strcmp(optarg, "classic") == 0 || std::strcmp(optarg, "qx") == 0;
        ups.protocol = std::strcmp(optarg, "qx") == 0 ? SimProtocol::qx : SimProtocol::classic;
        break;
      case 'i':
        ups.identification = optarg;
        break;
      case 'f':
        ups.identification = std::string("TXSIM-1 ") + optarg + " 1000VA";
        break;
      case 'o':
        ups.mains = false;
        break;
      case 'B':
        ups.blank_mark = true;
        break;
      case 'p':
        ups.pacing = true;
        break;
      case 'z':
        good = std::strcmp(optarg, "ignore") == 0 || std::strcmp(optarg, "obey") == 0;
        ups.zero_on_mains =
            std::strcmp(optarg, "obey") == 0 ? ZeroOnMains::obey : ZeroOnMains::ignore;
        break;
      case 'q':
        options->quiet = true;
        break;
      case 'S': {
        double seed = 0;
        good = number_option(optarg, 0, 1e15, &seed) &&
               seed == static_cast<double>(static_cast<long long>(seed));
        ups.seed = static_cast<std::uint64_t>(seed);
        break;
      }
      case 'h':
        usage(stdout);
        return 0;
      default: {
        const auto ranged = std::find_if(std::begin(numbers), std::end(numbers),
                                         [c](const NumberOption &n) { return n.letter == c; });
        if (ranged == std::end(numbers)) {
          usage(stderr);
          return 2;
        }
        good = number_option(optarg, ranged->low, ranged->high, ranged->value);
        break;
      }
    }
    if (!good) {
      std::fprintf(stderr, "tornax-upssim: bad value '%s' for -%c\n", optarg, c);
      return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "tornax-upssim: unexpected argument '%s'\n", argv[optind]);
    usage(stderr);
    return 2;
  }
  ups.self_test_seconds = static_cast<int>(test_seconds);
  return -1;
}

// A control input: a descriptor and the part of a line read so far.
struct Channel {
  int fd;
  bool answers_back;  // socket clients get their answers; others go to stdout
  std::string partial;
  bool overlong = false;
};

class ControlLoop {
 public:
  ControlLoop(SimulatedUps &ups, const Options &options) : ups_(ups), options_(options) {}
  ~ControlLoop();
  // Opens the FIFO and the socket; false (with a message) when one fails.
  bool open_channels();
  // Serves until a "quit" command or SIGINT/SIGTERM. An ended standard input
  // is dropped, so the simulator also runs in the background.
  void run();

 private:
  bool open_fifo();
  bool open_socket();
  void accept_client();
  bool read_channel(Channel &channel);
  bool deliver(Channel &channel, const ControlResult &result);

  SimulatedUps &ups_;
  const Options &options_;
  std::vector<Channel> channels_;
  int listen_fd_ = -1;
  bool quit_ = false;
};

ControlLoop::~ControlLoop() {
  for (Channel &channel : channels_) {
    if (channel.fd != STDIN_FILENO) {
      close(channel.fd);
    }
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(options_.socket_path.c_str());
  }
  if (!options_.fifo_path.empty()) {
    unlink(options_.fifo_path.c_str());
  }
}

bool ControlLoop::open_channels() {
  channels_.push_back({STDIN_FILENO, false, {}});
  return open_fifo() && open_socket();
}

bool ControlLoop::open_fifo() {
  const std::string &path = options_.fifo_path;
  if (path.empty()) {
    return true;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) {
    std::fprintf(stderr, "tornax-upssim: %s exists and is not a FIFO\n", path.c_str());
    return false;
  }
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    std::perror(("tornax-upssim: mkfifo " + path).c_str());
    return false;
  }
  // Opened for writing too, so the FIFO never reads as ended between writers.
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::perror(("tornax-upssim: open " + path).c_str());
    return false;
  }
  channels_.push_back({fd, false, {}});
  return true;
}

bool ControlLoop::open_socket() {
  const std::string &path = options_.socket_path;
  if (path.empty()) {
    return true;
  }
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "tornax-upssim: socket path too long: %s\n", path.c_str());
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    unlink(path.c_str());  // left by an earlier run
  }
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 ||
      bind(listen_fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
      listen(listen_fd_, 8) != 0) {
    std::perror(("tornax-upssim: socket " + path).c_str());
    return false;
  }
  return true;
}

void ControlLoop::accept_client() {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  if (channels_.size() > max_socket_clients) {
    close(fd);
    return;
  }
  channels_.push_back({fd, true, {}});
}

// Reads what is there and runs every complete line. False when the channel
// ended or failed and is to be dropped.
bool ControlLoop::read_channel(Channel &channel) {
  char buf[1024];
  const ssize_t n = read(channel.fd, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    return false;
  }
  for (ssize_t i = 0; i < n && !quit_; ++i) {
    if (buf[i] != '\n') {
      if (channel.partial.size() < max_control_line) {
        channel.partial += buf[i];
      } else {
        channel.overlong = true;
      }
      continue;
    }
    const std::string line = std::exchange(channel.partial, {});
    const ControlResult result = std::exchange(channel.overlong, false)
                                     ? ControlResult{"error: control line too long", false}
                                     : run_control(ups_, line);
    if (!deliver(channel, result)) {
      return false;
    }
  }
  return true;
}

// Sends the answer where it belongs; false when a socket client is gone.
bool ControlLoop::deliver(Channel &channel, const ControlResult &result) {
  quit_ = quit_ || result.quit;
  if (result.answer.empty()) {
    return true;
  }
  if (!channel.answers_back) {
    say(result.answer);
    return true;
  }
  const std::string text = result.answer + "\n";
  return send(channel.fd, text.data(), text.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(text.size());
}

void ControlLoop::run() {
  while (!quit_) {
    std::vector<struct pollfd> fds{{signal_pipe[0], POLLIN, 0}};
    if (listen_fd_ >= 0) {
      fds.push_back({listen_fd_, POLLIN, 0});
    }
    for (const Channel &channel : channels_) {
      fds.push_back({channel.fd, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[0].revents != 0) {
      return;
    }
    const std::size_t first_channel = listen_fd_ >= 0 ? 2 : 1;
    for (std::size_t i = channels_.size(); i-- > 0;) {
      if (fds[first_channel + i].revents != 0 && !read_channel(channels_[i])) {
        if (channels_[i].fd != STDIN_FILENO) {
          close(channels_[i].fd);
        }
        channels_.erase(channels_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    // Accepted last, so the new client's descriptor is not in this round's list.
    if (listen_fd_ >= 0 && fds[1].revents != 0) {
      accept_client();
    }
  }
}

int run(int argc, char **argv) {
  Options options;
  if (const int status = parse_options(argc, argv, &options); status >= 0) {
    return status;
  }
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("tornax-upssim: pipe");
    return 1;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGPIPE, SIG_IGN);
  SimulatedUps ups(options.ups);
  ups.set_observer([quiet = options.quiet](const ReceivedCommand &c) { print_received(c, quiet); });
  try {
    ups.start();
  } catch (const std::system_error &e) {
    std::fprintf(stderr, "tornax-upssim: %s\n", e.what());
    return 1;
  }
  say(ups.slave_path());
  ControlLoop loop(ups, options);
  if (!loop.open_channels()) {
    return 1;
  }
  if (!options.ups.link_path.empty()) {
    say("link " + options.ups.link_path + " -> " + ups.slave_path());
  }
  say(ups.describe());
  loop.run();
  ups.stop();
  return 0;
}

}  // namespace
}  // namespace tornax

int main(int argc, char **argv) {
  return tornax::run(argc, argv);
}
