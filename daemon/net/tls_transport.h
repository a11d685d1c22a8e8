// The bytes of a connection encrypted with TLS (1.2 or later), on a
// non-blocking socket under the event loop: the handshake goes step by step
// as the socket becomes ready, and the connection above receives and sends
// plain text as it did before the STARTTLS.
#ifndef TORNAX_DAEMON_NET_TLS_TRANSPORT_H
#define TORNAX_DAEMON_NET_TLS_TRANSPORT_H

#include <gnutls/gnutls.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "daemon/net/tls_certificate.h"
#include "daemon/net/transport.h"

namespace tornax {

// The protocol versions and ciphers a session allows.
inline constexpr const char *tls_priorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

class TlsTransport final : public Transport {
 public:
  // How the encrypted bytes reach the peer: like recv() and send() on a
  // non-blocking socket (-1 with errno EAGAIN when there is nothing yet or no
  // room).
  using Pull = std::function<ssize_t(void *buffer, std::size_t size)>;
  using Push = std::function<ssize_t(const void *data, std::size_t size)>;

  // The server's side of a session on socket `fd`.
  TlsTransport(int fd, std::shared_ptr<const TlsCertificate> certificate);
  // The same over any channel (the fuzzing harness has one in memory).
  TlsTransport(Pull pull, Push push, std::shared_ptr<const TlsCertificate> certificate);
  ~TlsTransport() override;
  TlsTransport(const TlsTransport &) = delete;
  TlsTransport &operator=(const TlsTransport &) = delete;

  enum class Step { done, again, failed };
  // Takes the handshake as far as the channel allows; `again` until it is
  // done, then `done`; `failed` for good (a peer that speaks no TLS, no
  // common version or cipher, an alert).
  Step handshake();
  bool handshaken() const { return handshaken_; }
  // What the last step of a failed handshake or record said, for tests.
  int last_error() const { return last_error_; }

  ssize_t receive(char *buffer, std::size_t size) override;
  ssize_t send(const char *data, std::size_t size) override;
  bool holds_input() const override;
  std::uint32_t extra_events() const override;

 private:
  static ssize_t pull_from(gnutls_transport_ptr_t self, void *buffer, std::size_t size);
  static ssize_t push_to(gnutls_transport_ptr_t self, const void *data, std::size_t size);
  static int wait_for(gnutls_transport_ptr_t self, unsigned int ms);
  // Sets errno from what GnuTLS answered and returns -1.
  ssize_t failure(int result);

  Pull pull_;
  Push push_;
  std::shared_ptr<const TlsCertificate> certificate_;
  gnutls_session_t session_ = nullptr;
  bool ready_ = false;  // the session could be made
  bool handshaken_ = false;
  bool blocked_ = false;  // the last step waits for the channel
  int last_error_ = 0;
  // A send that found no room must be repeated with the same length.
  std::size_t send_pending_ = 0;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_TLS_TRANSPORT_H
