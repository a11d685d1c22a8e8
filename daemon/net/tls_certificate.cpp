#include "daemon/net/tls_certificate.h"

#include <gnutls/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/private_file.h"

namespace tornax {
namespace {

// A chain of a few certificates and a key is a few kilobytes; anything far
// larger is not such a file.
constexpr std::size_t largest_file = std::size_t{1} << 20;

// The whole file, or nothing with `error` set.
std::optional<std::string> read_private_file(const char *path, std::string &error) {
  const int fd =
      open_private_file(path, "it holds a private key and is readable by group or others (mode ",
                        "); make it mode 0600", error);
  if (fd < 0) {
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      error = std::strerror(errno);
    } else if (text.size() + static_cast<std::size_t>(n) > largest_file) {
      error = "larger than a certificate file can be";
    } else if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    break;
  }
  explicit_bzero(chunk, sizeof chunk);
  close(fd);
  if (!error.empty()) {
    explicit_bzero(text.data(), text.size());
    return std::nullopt;
  }
  return text;
}

// The first certificate's subject and expiry.
bool describe_first(const gnutls_datum_t &pem, std::string &subject, std::time_t &expires,
                    std::string &error) {
  gnutls_x509_crt_t *list = nullptr;
  unsigned int count = 0;
  const int result = gnutls_x509_crt_list_import2(&list, &count, &pem, GNUTLS_X509_FMT_PEM, 0);
  if (result < 0 || count == 0) {
    error = "holds no PEM certificate";
    return false;
  }
  gnutls_datum_t dn{};
  if (gnutls_x509_crt_get_dn3(list[0], &dn, 0) >= 0) {
    subject.assign(reinterpret_cast<const char *>(dn.data), dn.size);
    gnutls_free(dn.data);
  }
  expires = gnutls_x509_crt_get_expiration_time(list[0]);
  for (unsigned int i = 0; i < count; ++i) {
    gnutls_x509_crt_deinit(list[i]);
  }
  gnutls_free(list);
  return true;
}

}  // namespace

TlsCertificate::TlsCertificate(gnutls_certificate_credentials_t credentials, std::string subject,
                               std::time_t expires)
    : credentials_(credentials), subject_(std::move(subject)), expires_(expires) {}

TlsCertificate::~TlsCertificate() {
  gnutls_certificate_free_credentials(credentials_);
}

std::shared_ptr<const TlsCertificate> load_tls_certificate(const char *path, std::string &error) {
  error.clear();
  std::optional<std::string> text = read_private_file(path, error);
  if (!text) {
    return nullptr;
  }
  const gnutls_datum_t pem{reinterpret_cast<unsigned char *>(text->data()),
                           static_cast<unsigned int>(text->size())};
  std::string subject;
  std::time_t expires = 0;
  gnutls_certificate_credentials_t credentials = nullptr;
  int result = 0;
  if (describe_first(pem, subject, expires, error)) {
    result = gnutls_certificate_allocate_credentials(&credentials);
    if (result >= 0) {
      // The same text holds both: the chain is read from its certificates,
      // the key from its key, and the two are checked to match.
      result = gnutls_certificate_set_x509_key_mem2(credentials, &pem, &pem, GNUTLS_X509_FMT_PEM,
                                                    nullptr, 0);
    }
    if (result < 0) {
      error = std::string("holds no private key that matches its first certificate (") +
              gnutls_strerror(result) + ")";
    }
  }
  explicit_bzero(text->data(), text->size());
  if (!error.empty()) {
    if (credentials != nullptr) {
      gnutls_certificate_free_credentials(credentials);
    }
    return nullptr;
  }
  return std::make_shared<const TlsCertificate>(credentials, std::move(subject), expires);
}

std::string certificate_date(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

std::optional<std::string> certificate_expiry_warning(const TlsCertificate &certificate,
                                                      std::time_t now) {
  const std::time_t expires = certificate.expires();
  if (expires <= now) {
    return "expired on " + certificate_date(expires);
  }
  const std::time_t left = expires - now;
  constexpr std::time_t day = std::time_t{24} * 60 * 60;
  if (left > std::time_t{certificate_warning_days} * day) {
    return std::nullopt;
  }
  const long days = static_cast<long>(left / day);
  return "expires on " + certificate_date(expires) + " (in " + std::to_string(days) +
         (days == 1 ? " day)" : " days)");
}

}  // namespace tornax
