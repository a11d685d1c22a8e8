#include "daemon/net/tls_transport.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tornax {
namespace {

// The most plain text one record carries.
constexpr std::size_t record_size = 16384;

// Steps that GnuTLS calls non-fatal but that are not a wait for the channel
// (a warning alert, say) are taken again at once, this many times at most.
constexpr int retries = 8;

bool waits(int result) {
  return result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED;
}

}  // namespace

TlsTransport::TlsTransport(int fd, std::shared_ptr<const TlsCertificate> certificate)
    : TlsTransport(
          [fd](void *buffer, std::size_t size) {
            ssize_t n;
            do {
              n = recv(fd, buffer, size, MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            return n;
          },
          [fd](const void *data, std::size_t size) {
            ssize_t n;
            do {
              n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            } while (n < 0 && errno == EINTR);
            return n;
          },
          std::move(certificate)) {}

TlsTransport::TlsTransport(Pull pull, Push push, std::shared_ptr<const TlsCertificate> certificate)
    : pull_(std::move(pull)), push_(std::move(push)), certificate_(std::move(certificate)) {
  // No session tickets: a client asks a question a second for hours and has
  // nothing to resume, and the server keeps no key for them.
  if (certificate_ == nullptr ||
      gnutls_init(&session_, GNUTLS_SERVER | GNUTLS_NONBLOCK | GNUTLS_NO_TICKETS) < 0) {
    session_ = nullptr;
    return;
  }
  ready_ =
      gnutls_priority_set_direct(session_, tls_priorities, nullptr) >= 0 &&
      gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, certificate_->credentials()) >= 0;
  gnutls_certificate_server_set_request(session_, GNUTLS_CERT_IGNORE);
  gnutls_transport_set_ptr(session_, this);
  gnutls_transport_set_pull_function(session_, pull_from);
  gnutls_transport_set_push_function(session_, push_to);
  gnutls_transport_set_pull_timeout_function(session_, wait_for);
}

TlsTransport::~TlsTransport() {
  if (session_ != nullptr) {
    gnutls_deinit(session_);
  }
}

ssize_t TlsTransport::pull_from(gnutls_transport_ptr_t self, void *buffer, std::size_t size) {
  auto *transport = static_cast<TlsTransport *>(self);
  const ssize_t n = transport->pull_(buffer, size);
  if (n < 0) {
    gnutls_transport_set_errno(transport->session_, errno);
  }
  return n;
}

ssize_t TlsTransport::push_to(gnutls_transport_ptr_t self, const void *data, std::size_t size) {
  auto *transport = static_cast<TlsTransport *>(self);
  const ssize_t n = transport->push_(data, size);
  if (n < 0) {
    gnutls_transport_set_errno(transport->session_, errno);
  }
  return n;
}

// Never waits: the loop's thread may not block. "Something may be there";
// the pull that follows tells.
int TlsTransport::wait_for(gnutls_transport_ptr_t, unsigned int) {
  return 1;
}

TlsTransport::Step TlsTransport::handshake() {
  if (!ready_) {
    return Step::failed;
  }
  if (handshaken_) {
    return Step::done;
  }
  int result = GNUTLS_E_AGAIN;
  for (int i = 0; i < retries; ++i) {
    result = gnutls_handshake(session_);
    if (result == 0) {
      handshaken_ = true;
      blocked_ = false;
      return Step::done;
    }
    if (waits(result)) {
      blocked_ = true;
      return Step::again;
    }
    if (gnutls_error_is_fatal(result) != 0) {
      break;
    }
  }
  last_error_ = result;
  // Tells the peer why, if the channel takes it at once.
  gnutls_alert_send_appropriate(session_, result);
  ready_ = false;
  return Step::failed;
}

ssize_t TlsTransport::failure(int result) {
  if (waits(result)) {
    blocked_ = true;
    errno = EAGAIN;
  } else {
    last_error_ = result;
    ready_ = false;
    errno = ECONNRESET;
  }
  return -1;
}

ssize_t TlsTransport::receive(char *buffer, std::size_t size) {
  if (!ready_ || !handshaken_) {
    errno = ready_ ? EAGAIN : ECONNRESET;
    return -1;
  }
  blocked_ = false;
  int result = GNUTLS_E_AGAIN;
  for (int i = 0; i < retries; ++i) {
    const ssize_t n = gnutls_record_recv(session_, buffer, size);
    if (n >= 0) {
      return n;  // 0: the peer ended the session
    }
    result = static_cast<int>(n);
    if (result == GNUTLS_E_PREMATURE_TERMINATION) {
      return 0;  // gone without saying so: what it sent is still answered
    }
    // A peer that asks to renegotiate is not served further.
    if (waits(result) || result == GNUTLS_E_REHANDSHAKE || gnutls_error_is_fatal(result) != 0) {
      break;
    }
  }
  return failure(result == GNUTLS_E_REHANDSHAKE ? GNUTLS_E_UNEXPECTED_PACKET : result);
}

ssize_t TlsTransport::send(const char *data, std::size_t size) {
  if (!ready_ || !handshaken_) {
    errno = ready_ ? EAGAIN : EPIPE;
    return -1;
  }
  blocked_ = false;
  const std::size_t length = send_pending_ != 0 ? send_pending_ : std::min(size, record_size);
  const ssize_t n = gnutls_record_send(session_, data, length);
  if (n >= 0) {
    send_pending_ = 0;
    return n;
  }
  if (waits(static_cast<int>(n))) {
    send_pending_ = length;
  }
  return failure(static_cast<int>(n));
}

bool TlsTransport::holds_input() const {
  return ready_ && handshaken_ && gnutls_record_check_pending(session_) > 0;
}

// While the handshake waits, the socket readiness it waits for; afterwards
// only a write that a receive left waiting (the answer to a key update),
// so that the connection's own choice of when to read stands.
std::uint32_t TlsTransport::extra_events() const {
  if (!ready_ || !blocked_) {
    return 0;
  }
  const std::uint32_t out = EPOLLOUT;
  const std::uint32_t in = EPOLLIN;
  const bool writes = gnutls_record_get_direction(session_) == 1;
  if (!handshaken_) {
    return writes ? out : in;
  }
  return writes ? out : 0U;
}

}  // namespace tornax
