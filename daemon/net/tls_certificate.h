// The certificate the network UPS server offers after STARTTLS: a PEM file
// that holds the certificate chain and its private key (NUT_CERTFILE). It is
// read with the configuration, so a missing, exposed or broken file stops
// the start, or leaves a reload without effect, naming its line.
#ifndef TORNAX_DAEMON_NET_TLS_CERTIFICATE_H
#define TORNAX_DAEMON_NET_TLS_CERTIFICATE_H

#include <gnutls/gnutls.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace tornax {

// Certificates that expire within this many days are logged, once a day.
inline constexpr int certificate_warning_days = 30;

// The credentials a TLS session serves with, and what an administrator is
// shown of them. Shared by the settings and every session made with it, so
// a reload that brings a new file leaves the sessions under way their own.
class TlsCertificate {
 public:
  TlsCertificate(gnutls_certificate_credentials_t credentials, std::string subject,
                 std::time_t expires);
  ~TlsCertificate();
  TlsCertificate(const TlsCertificate &) = delete;
  TlsCertificate &operator=(const TlsCertificate &) = delete;

  gnutls_certificate_credentials_t credentials() const { return credentials_; }
  // The first certificate's subject ("CN=ups.example,O=...").
  const std::string &subject() const { return subject_; }
  // When the first certificate expires.
  std::time_t expires() const { return expires_; }

 private:
  gnutls_certificate_credentials_t credentials_;
  std::string subject_;
  std::time_t expires_;
};

// Reads the PEM file at `path`: it must be a regular file owned by this
// user that group and others have no access to (it holds a private key),
// and hold a certificate chain and the key that matches its first
// certificate. Nothing, with `error` set, otherwise.
std::shared_ptr<const TlsCertificate> load_tls_certificate(const char *path, std::string &error);

// "2027-03-01 12:00 UTC".
std::string certificate_date(std::time_t when);

// The warning due about a certificate at `now` ("expires on ... (in 12
// days)", "expired on ..."), or nothing while it is valid for longer than
// certificate_warning_days.
std::optional<std::string> certificate_expiry_warning(const TlsCertificate &certificate,
                                                      std::time_t now);

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_TLS_CERTIFICATE_H
