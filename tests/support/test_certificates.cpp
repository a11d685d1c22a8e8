#include "tests/support/test_certificates.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace tornax::test {
namespace {

bool run_quietly(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TestCertificates::TestCertificates(int days, const std::string &name) {
  const std::string ca_template =
      dir.write("ca.tmpl", "cn = \"" + name + " CA\"\norganization = \"" + name +
                               "\"\nca\ncert_signing_key\nexpiration_days = 3650\n");
  const std::string server_template =
      dir.write("server.tmpl", "cn = \"127.0.0.1\"\norganization = \"" + name +
                                   "\"\nip_address = \"127.0.0.1\"\ndns_name = \"localhost\"\n"
                                   "tls_www_server\nsigning_key\nencryption_key\n"
                                   "expiration_days = " +
                                   std::to_string(days) + "\n");
  const std::string ca_key = dir.file("ca.key");
  const std::string key = dir.file("server.key");
  const std::string cert = dir.file("server.pem");
  ok_ = run_quietly("certtool --generate-privkey --key-type=ecdsa --outfile " + ca_key) &&
        run_quietly("certtool --generate-self-signed --load-privkey " + ca_key + " --template " +
                    ca_template + " --outfile " + ca_file()) &&
        run_quietly("certtool --generate-privkey --key-type=ecdsa --outfile " + key) &&
        run_quietly("certtool --generate-certificate --load-privkey " + key +
                    " --load-ca-certificate " + ca_file() + " --load-ca-privkey " + ca_key +
                    " --template " + server_template + " --outfile " + cert) &&
        write_file(server_file(), read_file(cert) + read_file(ca_file()) + read_file(key)) &&
        chmod(server_file().c_str(), 0600) == 0;
}

bool TestCertificates::make_nss_database(const std::string &folder) const {
  const std::string password = dir.write("nss-password", "\n", 0600);
  return run_quietly("certutil -N -d sql:" + folder + " -f " + password) &&
         run_quietly("certutil -A -d sql:" + folder + " -n 'tornax test CA' -t 'CT,,' -a -i " +
                     ca_file());
}

}  // namespace tornax::test
