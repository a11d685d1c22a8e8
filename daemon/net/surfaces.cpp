#include "daemon/net/surfaces.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "daemon/core/clock.h"
#include "daemon/core/error.h"
#include "daemon/core/signals.h"
#include "daemon/net/admission.h"
#include "daemon/net/http_server.h"
#include "daemon/net/nut_server.h"
#include "daemon/net/thread-server.h"
#include "daemon/report/deferred_log.h"
#include "tornax.h"

namespace tornax {
namespace {

// The loop needs more than a status line: the HTTP library parses, and the
// documents are rendered, on its stack.
constexpr std::size_t loop_stack = std::size_t{256} * 1024;

std::atomic<bool> loop_running{false};

std::vector<WaitingPeers *> &waiting_surfaces() {  // the main thread's
  static std::vector<WaitingPeers *> surfaces;
  return surfaces;
}

void *run_network_loop(void *) {
  network_loop().run();
}

bool on_main_thread() {
  return syscall(SYS_gettid) == getpid();
}

}  // namespace

// The new thread inherits the signal mask in force while it is created.
int start_server_thread(void *(*entry)(void *), void *argument, std::size_t stack) {
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes); error != 0) {
    return error;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes,
                            std::max(stack, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
  const sigset_t blocked = daemon_signals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, entry, argument);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  return result;
}

void report_surface_failure(const std::string &text) {
  if (on_main_thread()) {
    tornax_warn_and_log("%s", text.c_str());
  } else {
    log_later(text);
  }
}

EventLoop &network_loop() {
  static EventLoop *const instance = new EventLoop;
  return *instance;
}

bool start_network_loop() {
  if (loop_running.load()) {
    return true;
  }
  if (!network_loop().ok()) {
    report_surface_failure("Network servers not started: cannot wait for their connections");
    return false;
  }
  if (const int error = start_server_thread(run_network_loop, nullptr, loop_stack); error != 0) {
    report_surface_failure(std::string("Network servers not started: cannot start their thread (") +
                           std::strerror(error) + ")");
    return false;
  }
  loop_running = true;
  return true;
}

void start_network_surfaces() {
  if (settings.max_client != 0) {
    start_status_server();
  }
  if (settings.nut_port != 0) {
    start_nut_server();
  }
  if (settings.http_port != 0) {
    start_http_server();
  }
}

void write_network_log() {
  admission().write_summary();
  if (settings.nut_port != 0) {
    log_certificate_expiry(clock_now());
  }
  write_deferred_log();
}

void add_waiting_peers(WaitingPeers &surface) {
  waiting_surfaces().push_back(&surface);
}

void hold_for_waiting_peers() {
  std::vector<WaitingPeers::Clock::time_point> deadlines;
  for (WaitingPeers *surface : waiting_surfaces()) {
    deadlines.push_back(surface->tell_peers());
  }
  for (std::size_t i = 0; i < deadlines.size(); ++i) {
    waiting_surfaces()[i]->wait_for_peers(deadlines[i]);
  }
}

}  // namespace tornax
