// Certificates made at test time with certtool, never kept in the tree: a
// CA of their own and a server certificate it signed for 127.0.0.1 and
// localhost, whose chain and key stand in one PEM file of mode 0600, as
// NUT_CERTFILE takes it. Two sets have two unrelated CAs, so the CA of one
// is the wrong one for the other's server.
#ifndef TORNAX_TESTS_SUPPORT_TEST_CERTIFICATES_H
#define TORNAX_TESTS_SUPPORT_TEST_CERTIFICATES_H

#include <string>

#include "tests/kit/files.h"

namespace tornax::test {

class TestCertificates {
 public:
  // The server certificate is valid for `days`; `name` is its subject's
  // organisation.
  explicit TestCertificates(int days = 365, const std::string &name = "tornax test");

  // Whether certtool made them all.
  bool ok() const { return ok_; }
  // The server's chain and key (mode 0600).
  std::string server_file() const { return dir.file("server-chain.pem"); }
  // The CA's certificate alone, for a client to trust.
  std::string ca_file() const { return dir.file("ca.pem"); }
  // An NSS certificate database in `folder` that trusts this CA, made with
  // certutil (an empty password); false when it could not be made.
  bool make_nss_database(const std::string &folder) const;

  TempDir dir{"tornax-certs"};

 private:
  bool ok_ = false;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_TEST_CERTIFICATES_H
