#include "tests/support/tls_client.h"

#include <sys/socket.h>
#include <sys/time.h>

namespace tornax::test {

TlsClient::TlsClient(int fd, const std::string &ca_file, const char *priorities) : fd_(fd) {
  const timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  gnutls_certificate_allocate_credentials(&credentials_);
  gnutls_certificate_set_x509_trust_file(credentials_, ca_file.c_str(), GNUTLS_X509_FMT_PEM);
  gnutls_init(&session_, GNUTLS_CLIENT);
  gnutls_priority_set_direct(session_, priorities, nullptr);
  gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_);
  gnutls_session_set_verify_cert(session_, "127.0.0.1", 0);
  gnutls_transport_set_int(session_, fd);
}

TlsClient::~TlsClient() {
  gnutls_deinit(session_);
  gnutls_certificate_free_credentials(credentials_);
}

bool TlsClient::handshake() {
  int result;
  do {
    result = gnutls_handshake(session_);
  } while (result < 0 && gnutls_error_is_fatal(result) == 0 && result != GNUTLS_E_AGAIN);
  return result == 0;
}

std::string TlsClient::version() const {
  const char *name = gnutls_protocol_get_name(gnutls_protocol_get_version(session_));
  return name != nullptr ? name : "";
}

bool TlsClient::send(const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = gnutls_record_send(session_, text.data() + done, text.size() - done);
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> TlsClient::next() {
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    char chunk[4096];
    const ssize_t n = gnutls_record_recv(session_, chunk, sizeof chunk);
    if (n <= 0) {
      return std::nullopt;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace tornax::test
