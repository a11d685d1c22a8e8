// The client's side of a TLS session over a connected socket, for tests of
// the network UPS server after STARTTLS: it trusts one CA file and checks
// the server's name, and reads and writes lines. Blocking, each read and
// write bounded by the socket's time-outs (5 s), so a silent server fails
// the test instead of hanging it.
#ifndef TORNAX_TESTS_SUPPORT_TLS_CLIENT_H
#define TORNAX_TESTS_SUPPORT_TLS_CLIENT_H

#include <gnutls/gnutls.h>

#include <optional>
#include <string>

namespace tornax::test {

class TlsClient {
 public:
  // `priorities` chooses the versions it offers (GnuTLS's priority text).
  TlsClient(int fd, const std::string &ca_file, const char *priorities = "NORMAL");
  ~TlsClient();
  TlsClient(const TlsClient &) = delete;
  TlsClient &operator=(const TlsClient &) = delete;

  // True when the handshake succeeded and the certificate is trusted for
  // 127.0.0.1.
  bool handshake();
  // The version agreed ("TLS1.3"), once the handshake is done.
  std::string version() const;
  bool send(const std::string &text);
  // The next line without its line end; nothing once the session ended.
  std::optional<std::string> next();

 private:
  int fd_;
  gnutls_session_t session_ = nullptr;
  gnutls_certificate_credentials_t credentials_ = nullptr;
  std::string pending_;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_TLS_CLIENT_H
