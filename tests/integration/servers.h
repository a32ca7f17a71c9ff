#ifndef SETUP_TESTS_INTEGRATION_SERVERS_H_
#define SETUP_TESTS_INTEGRATION_SERVERS_H_

// HTTPS servers on 127.0.0.1 for the download tests, with certificates made
// here by the openssl tool.

#include <memory>
#include <string>

#include "tests/integration/harness.h"

namespace it {

// A test certificate authority, a server certificate it signed for
// 127.0.0.1 and localhost, and a second authority that signed nothing the
// servers use. Made once per test process.
struct Pki {
  std::string caCert;       // trust anchor for the servers
  std::string serverCert;
  std::string serverKey;
  std::string otherCaCert;  // trusts nothing the servers present

  static const Pki& get();
};

// nginx serving a directory over HTTPS. It sends ETag and Content-Length
// for static files; the ETag follows the file's modification time and size.
// Its access log holds one line per request:
//   <uri> <status> <body bytes sent> <ETag sent, quoted as sent, or ->
class Nginx {
 public:
  Nginx();
  ~Nginx();
  const std::string& docroot() const { return docroot_; }
  int port() const { return port_; }
  std::string url(const std::string& path) const;
  std::string accessLog() const;
  // Access log lines whose URI is |uri|.
  std::vector<std::string> requestsFor(const std::string& uri) const;

 private:
  TempDir dir_;
  std::string docroot_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

// fault_server.py: scripted misbehaviour by path, over HTTPS and plain HTTP.
// Files it serves by name lie in root(); "<name>.etag" beside one holds the
// ETag to send with it.
class FaultServer {
 public:
  FaultServer();
  ~FaultServer();
  const std::string& root() const { return root_; }
  std::string url(const std::string& path) const;  // https
  std::string httpUrl(const std::string& path) const;
  std::string requestLog() const;

 private:
  TempDir dir_;
  std::string root_;
  int httpsPort_ = 0;
  int httpPort_ = 0;
  std::unique_ptr<Process> process_;
};

// Shared servers: started on first use, stopped when the test program ends.
Nginx& sharedNginx();
FaultServer& sharedFaultServer();

}  // namespace it

#endif  // SETUP_TESTS_INTEGRATION_SERVERS_H_
