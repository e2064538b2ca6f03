// Certificates for TLS tests, made at test time with the openssl command in
// a fresh temporary folder that goes with the object:
//
//   ca.pem                      the test CA
//   other-ca.pem                a CA that signed none of them
//   gateway.pem, gateway.key    names 127.0.0.1 and localhost
//   client.pem, client.key      a client certificate, subject CN=tarpon client
//   expired.pem, expired.key    names 127.0.0.1 and localhost; expired
//   soon.pem, soon.key          names 127.0.0.1 and localhost; expires in 12
//   days elsewhere.pem, elsewhere.key  names only other.example
//
// Every certificate but other-ca.pem is signed by ca.pem; the keys have
// mode 0600. TlsEnvironment sets TLS variables for one scope.
#ifndef TARPON_TESTS_SUPPORT_TLS_TEST_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_TLS_TEST_SUPPORT_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace tls_test {

class TestCertificates {
 public:
  TestCertificates() {
    char pattern[] = "/tmp/tarpon-tls-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    folder_ = pattern;
    std::ofstream(Path("openssl.cnf")) << kConfig;
    ok_ = MakeCa("ca", "Tarpon Test CA") &&
          MakeCa("other-ca", "Tarpon Other CA") &&
          MakeLeaf("gateway", "tarpon gateway", "names", "30") &&
          MakeLeaf("client", "tarpon client", "client", "30") &&
          MakeLeaf("expired", "tarpon gateway", "names", "-1") &&
          MakeLeaf("soon", "tarpon gateway", "names", "12") &&
          MakeLeaf("elsewhere", "tarpon gateway", "elsewhere", "30");
  }
  ~TestCertificates() {
    if (!folder_.empty()) {
      std::system(("rm -rf '" + folder_ + "'").c_str());
    }
  }
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  // False when a certificate could not be made (no openssl command).
  bool Ok() const { return ok_; }
  std::string Path(const std::string& name) const {
    return folder_ + "/" + name;
  }

 private:
  static constexpr const char* kConfig =
      "[req]\n"
      "distinguished_name = dn\n"
      "[dn]\n"
      "[ca]\n"
      "basicConstraints = critical,CA:TRUE\n"
      "keyUsage = critical,keyCertSign,cRLSign\n"
      "subjectKeyIdentifier = hash\n"
      "[names]\n"
      "subjectAltName = IP:127.0.0.1,DNS:localhost\n"
      "[elsewhere]\n"
      "subjectAltName = DNS:other.example\n"
      "[client]\n"
      "extendedKeyUsage = clientAuth\n";

  bool Run(const std::string& command) const {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }
  std::string NewKey(const std::string& name) const {
    return " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
           Path(name + ".key") + "' -config '" + Path("openssl.cnf") + "'";
  }
  bool MakeCa(const std::string& name, const std::string& subject) const {
    return Run(
        "openssl req -x509 -days 30 -extensions ca -subj '/CN=" + subject +
        "'" + NewKey(name) + " -out '" + Path(name + ".pem") + "'");
  }
  bool MakeLeaf(const std::string& name, const std::string& subject,
                const std::string& extensions, const std::string& days) const {
    bool made =
        Run("openssl req -new -subj '/CN=" + subject + "'" + NewKey(name) +
            " -out '" + Path(name + ".csr") + "'") &&
        Run("openssl x509 -req -in '" + Path(name + ".csr") + "' -CA '" +
            Path("ca.pem") + "' -CAkey '" + Path("ca.key") + "' -days " + days +
            " -extfile '" + Path("openssl.cnf") + "' -extensions " +
            extensions + " -out '" + Path(name + ".pem") + "'");
    return made && chmod(Path(name + ".key").c_str(), 0600) == 0;
  }

  std::string folder_;
  bool ok_ = false;
};

// Sets the named variables (an empty value unsets one) for the object's
// life, and restores the earlier values.
class TlsEnvironment {
 public:
  explicit TlsEnvironment(
      const std::vector<std::pair<std::string, std::string>>& settings) {
    for (const auto& setting : settings) {
      const char* old = std::getenv(setting.first.c_str());
      saved_.emplace_back(setting.first, old != nullptr ? old : "");
      Set(setting.first, setting.second);
    }
  }
  ~TlsEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      Set(it->first, it->second);
    }
  }
  TlsEnvironment(const TlsEnvironment&) = delete;
  TlsEnvironment& operator=(const TlsEnvironment&) = delete;

 private:
  static void Set(const std::string& name, const std::string& value) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace tls_test

#endif  // TARPON_TESTS_SUPPORT_TLS_TEST_SUPPORT_H_
