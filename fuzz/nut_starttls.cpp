// The network UPS server's STARTTLS: the first byte chooses whether a
// certificate is offered and whether TLS is required before a login, and
// how the bytes after the STARTTLS are cut into reads; the bytes up to the
// first line answered OK STARTTLS are the client's requests in the clear,
// the rest what it sends into the handshake (a ClientHello, records), taken
// by the server's TLS session as its socket would hand them over. The
// certificate is made when the harness starts, never kept anywhere.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "daemon/net/nut_protocol.h"
#include "daemon/net/tls_certificate.h"
#include "daemon/net/tls_transport.h"
#include "fuzz/harness.h"

namespace {

using tornax::fuzz::require;

std::string text_of(gnutls_datum_t &pem) {
  std::string text(reinterpret_cast<const char *>(pem.data), pem.size);
  gnutls_free(pem.data);
  return text;
}

// A self-signed certificate for 127.0.0.1 with a fresh P-256 key, read
// through the daemon's own loader from a file of mode 0600.
std::shared_ptr<const tornax::TlsCertificate> make_certificate() {
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  require(gnutls_x509_privkey_init(&key) >= 0 && gnutls_x509_crt_init(&crt) >= 0,
          "the certificate can be made");
  require(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                       GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) >= 0,
          "a key is generated");
  const std::time_t now = std::time(nullptr);
  const unsigned char serial[] = {1};
  gnutls_x509_crt_set_version(crt, 3);
  gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
  gnutls_x509_crt_set_activation_time(crt, now - 3600);
  gnutls_x509_crt_set_expiration_time(crt, now + 86400);
  gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, "127.0.0.1", 9);
  gnutls_x509_crt_set_key(crt, key);
  require(gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0) >= 0, "it is signed");
  gnutls_datum_t crt_pem{};
  gnutls_datum_t key_pem{};
  require(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &crt_pem) >= 0 &&
              gnutls_x509_privkey_export2(key, GNUTLS_X509_FMT_PEM, &key_pem) >= 0,
          "the certificate exports");
  const std::string text = text_of(crt_pem) + text_of(key_pem);
  gnutls_x509_crt_deinit(crt);
  gnutls_x509_privkey_deinit(key);
  char path[] = "/tmp/tornax-fuzz-cert-XXXXXX";
  const int fd = mkstemp(path);
  require(fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()),
          "the certificate file is written");
  close(fd);
  std::string error;
  std::shared_ptr<const tornax::TlsCertificate> certificate =
      tornax::load_tls_certificate(path, error);
  unlink(path);
  require(certificate != nullptr, "the daemon's loader takes the certificate");
  return certificate;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  static const std::shared_ptr<const tornax::TlsCertificate> certificate = make_certificate();
  const bool offered = (data[0] & 1) != 0;
  const bool required = offered && (data[0] & 2) != 0;
  const std::size_t read_size = 1 + (data[0] >> 2);  // 1 to 64 bytes a read
  std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);

  tornax::NutView view;
  view.ups_name = "tornax";
  view.stale = false;
  tornax::NutSession session;
  const tornax::NutServerSide side{[&view] { return view; },
                                   [](const std::string &name, const std::string &pass) {
                                     return name == "upsmon" && pass == "secret";
                                   },
                                   offered, required};

  // The clear part: answered until an OK STARTTLS.
  tornax::NutLineSplitter lines;
  std::size_t taken = 0;
  const auto handle = [&](std::optional<std::string_view> line) {
    const bool was_tls = session.starting_tls;
    const std::string answer =
        line ? tornax::answer_nut_request(*line, session, side) : "ERR INVALID-ARGUMENT\n";
    tornax::fuzz::require_printable_lines(answer);
    require(!required || (!session.username && !session.password && !session.logged_in),
            "nothing of an account is taken in the clear when TLS is required");
    require((answer == "OK STARTTLS\n") == (session.starting_tls && !was_tls),
            "only an accepted STARTTLS starts the handshake");
    require(offered || !session.starting_tls, "no STARTTLS without a certificate");
    return !session.closing && !session.starting_tls;
  };
  for (; taken < input.size(); ++taken) {
    if (!lines.take(input.data() + taken, 1, handle)) {
      ++taken;
      break;
    }
  }
  if (!session.starting_tls) {
    return 0;
  }

  // The rest goes into the handshake, a few bytes a read.
  std::string_view wire = input.substr(taken);
  tornax::TlsTransport tls(
      [&wire, read_size](void *buffer, std::size_t room) -> ssize_t {
        if (wire.empty()) {
          errno = EAGAIN;
          return -1;
        }
        const std::size_t n = std::min({room, read_size, wire.size()});
        std::copy_n(wire.data(), n, static_cast<char *>(buffer));
        wire.remove_prefix(n);
        return static_cast<ssize_t>(n);
      },
      [](const void *, std::size_t length) { return static_cast<ssize_t>(length); }, certificate);
  char buffer[64];
  require(tls.receive(buffer, sizeof buffer) < 0 && tls.send("x", 1) < 0,
          "nothing passes before the handshake");
  tornax::TlsTransport::Step step = tornax::TlsTransport::Step::again;
  for (int round = 0; round < 256 && step == tornax::TlsTransport::Step::again; ++round) {
    const std::size_t before = wire.size();
    step = tls.handshake();
    if (step == tornax::TlsTransport::Step::again && wire.size() == before) {
      break;  // waits for bytes the input does not have
    }
  }
  require(step != tornax::TlsTransport::Step::done || tls.handshaken(),
          "a finished handshake is one");
  if (step == tornax::TlsTransport::Step::failed) {
    require(tls.receive(buffer, sizeof buffer) < 0, "a failed session gives nothing");
  }
  return 0;
}
