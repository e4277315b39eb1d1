// Throw-away certificates for the TLS tests, made once per test program at run time with the
// openssl command in a private temporary folder that is removed at exit: a test CA, a server
// certificate it signed for localhost and 127.0.0.1, and a self-signed "rogue" certificate for
// the same names that nothing trusts. Nothing secret is kept in the source tree.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tlstest {

struct TTlsTestPki {
  bool Ok = false;
  std::string Dir;
  std::string CAFile;     // the test CA's certificate (PEM)
  std::string CertFile;   // server certificate for localhost / 127.0.0.1, signed by the test CA
  std::string KeyFile;    // its key
  std::string RogueCert;  // self-signed certificate for the same names
  std::string RogueKey;
  std::string Error;  // what failed when Ok is false

  TTlsTestPki() {
    char Template[] = "/tmp/smpp-tls-test-XXXXXX";
    if (!::mkdtemp(Template)) {
      Error = "mkdtemp failed";
      return;
    }
    Dir = Template;
    CAFile = Dir + "/ca.pem";
    CertFile = Dir + "/server.pem";
    KeyFile = Dir + "/server.key";
    RogueCert = Dir + "/rogue.pem";
    RogueKey = Dir + "/rogue.key";
    std::ofstream(Dir + "/san.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    const std::string Ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string Q = " >>" + Dir + "/openssl.log 2>&1";
    const std::string Commands[] = {
        "openssl req -x509" + Ec + " -keyout " + Dir + "/ca.key -out " + CAFile +
            " -subj /CN=smpp-test-ca -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign" +
            Q,
        "openssl req" + Ec + " -keyout " + KeyFile + " -out " + Dir +
            "/server.csr -subj /CN=localhost" + Q,
        "openssl x509 -req -in " + Dir + "/server.csr -CA " + CAFile + " -CAkey " + Dir +
            "/ca.key -CAcreateserial -days 2 -out " + CertFile + " -extfile " + Dir + "/san.cnf" +
            Q,
        "openssl req -x509" + Ec + " -keyout " + RogueKey + " -out " + RogueCert +
            " -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1" + Q,
    };
    for (const std::string& C : Commands) {
      if (std::system(C.c_str()) != 0) {
        Error = "failed: " + C;
        return;
      }
    }
    Ok = true;
  }
  ~TTlsTestPki() {
    std::error_code Ignored;
    if (!Dir.empty()) std::filesystem::remove_all(Dir, Ignored);
  }
};

// The certificates of this test program, made on first use.
inline const TTlsTestPki& Pki() {
  static const TTlsTestPki Instance;
  return Instance;
}

}  // namespace tlstest
