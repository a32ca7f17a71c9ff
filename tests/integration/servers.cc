#include "tests/integration/servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace it {

namespace {

void openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result = run(argv, Environment(), "", 60);
  if (result.exitCode != 0) throw std::runtime_error("openssl failed: " + result.describe());
}

void makeAuthority(const std::string& dir, const std::string& name, const std::string& subject) {
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem", "-days", "3",
           "-subj", subject, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
           "keyUsage=critical,keyCertSign,cRLSign"});
}

class PkiHolder {
 public:
  PkiHolder() : dir_("setup-it-pki") {
    const std::string d = dir_.path();
    makeAuthority(d, "ca", "/CN=Setup integration test CA");
    makeAuthority(d, "other-ca", "/CN=Setup integration test CA");  // same name, other key
    openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", d + "/server.key", "-out", d + "/server.csr", "-subj", "/CN=127.0.0.1"});
    writeFile(d + "/server.ext",
              "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
              "basicConstraints=CA:FALSE\n"
              "keyUsage=critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\n");
    openssl({"x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem", "-CAkey",
             d + "/ca.key", "-CAcreateserial", "-CAserial", d + "/ca.srl", "-out",
             d + "/server.pem", "-days", "3", "-extfile", d + "/server.ext"});
    pki_.caCert = d + "/ca.pem";
    pki_.otherCaCert = d + "/other-ca.pem";
    pki_.serverCert = d + "/server.pem";
    pki_.serverKey = d + "/server.key";
  }
  const Pki& pki() const { return pki_; }

 private:
  TempDir dir_;
  Pki pki_;
};

std::unique_ptr<PkiHolder>& pkiHolder() {
  static std::unique_ptr<PkiHolder> holder;
  return holder;
}
std::unique_ptr<Nginx>& nginxHolder() {
  static std::unique_ptr<Nginx> holder;
  return holder;
}
std::unique_ptr<FaultServer>& faultHolder() {
  static std::unique_ptr<FaultServer> holder;
  return holder;
}

// Stops the shared servers and removes their files when the tests are done.
class SharedServers : public ::testing::Environment {
 public:
  void TearDown() override {
    faultHolder().reset();
    nginxHolder().reset();
    pkiHolder().reset();
  }
};
::testing::Environment* const kSharedServers =
    ::testing::AddGlobalTestEnvironment(new SharedServers);

// A port that was free a moment ago; the caller retries should it be taken.
int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

std::string pythonProgram() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

}  // namespace

const Pki& Pki::get() {
  if (!pkiHolder()) pkiHolder() = std::make_unique<PkiHolder>();
  return pkiHolder()->pki();
}

// ---------------------------------------------------------------- nginx

Nginx::Nginx() : dir_("setup-it-nginx") {
  const Pki& pki = Pki::get();
  const std::string d = dir_.path();
  docroot_ = d + "/docroot";
  makeDirs(docroot_);
  makeDirs(d + "/temp");
  std::string lastError;
  for (int attempt = 0; attempt < 5; ++attempt) {
    int port = freePort();
    // One process, in the foreground, with every file it writes in our
    // directory: it needs neither root nor the system's nginx setup.
    std::ostringstream conf;
    conf << "master_process off;\n"
         << "daemon off;\n"
         << "pid " << d << "/nginx.pid;\n"
         << "error_log " << d << "/error.log info;\n"
         << "events { worker_connections 128; }\n"
         << "http {\n"
         << "  log_format setup_it escape=none '$request_uri $status $body_bytes_sent "
            "$sent_http_etag';\n"
         << "  access_log " << d << "/access.log setup_it;\n"
         << "  client_body_temp_path " << d << "/temp/body;\n"
         << "  proxy_temp_path " << d << "/temp/proxy;\n"
         << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n"
         << "  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
         << "  scgi_temp_path " << d << "/temp/scgi;\n"
         << "  default_type application/octet-stream;\n"
         << "  keepalive_timeout 5;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << " ssl;\n"
         << "    ssl_certificate " << pki.serverCert << ";\n"
         << "    ssl_certificate_key " << pki.serverKey << ";\n"
         << "    root " << docroot_ << ";\n"
         << "  }\n"
         << "}\n";
    writeFile(d + "/nginx.conf", conf.str());
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c",
                                 d + "/nginx.conf"},
        Environment());
    double deadline = monotonicSeconds() + 10;
    while (monotonicSeconds() < deadline && !process_->exited() && !accepts(port))
      process_->pump(0.05);
    if (!process_->exited() && accepts(port)) {
      port_ = port;
      return;
    }
    process_->kill();
    lastError = process_->describe() + "\n" + (exists(d + "/error.log") ? readFile(d + "/error.log") : "");
    process_.reset();
  }
  throw std::runtime_error("nginx did not start: " + lastError);
}

Nginx::~Nginx() {
  if (!process_) return;
  process_->signal(SIGQUIT);  // graceful: finishes what it is sending
  if (!process_->wait(5)) process_->kill();
}

std::string Nginx::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::string Nginx::accessLog() const {
  std::string path = dir_.path() + "/access.log";
  return exists(path) ? readFile(path) : "";
}

std::vector<std::string> Nginx::requestsFor(const std::string& uri) const {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(accessLog()))
    if (line.compare(0, uri.size() + 1, uri + " ") == 0) found.push_back(line);
  return found;
}

// ---------------------------------------------------------------- fault server

FaultServer::FaultServer() : dir_("setup-it-faults") {
  const Pki& pki = Pki::get();
  root_ = dir_.path() + "/root";
  makeDirs(root_);
  Process::Options options;
  options.keepStdinOpen = true;  // it ends when this closes
  process_ = std::make_unique<Process>(
      std::vector<std::string>{pythonProgram(), sourceDir() + "/fault_server.py", "--cert",
                               pki.serverCert, "--key", pki.serverKey, "--root", root_, "--log",
                               dir_.path() + "/requests.log", "--lifetime", "900"},
      Environment(), options);
  if (!process_->waitForStdout("\n", 20))
    throw std::runtime_error("fault server did not start: " + process_->describe());
  std::istringstream ports(process_->out());
  ports >> httpsPort_ >> httpPort_;
  if (httpsPort_ <= 0 || httpPort_ <= 0)
    throw std::runtime_error("fault server gave no ports: " + process_->describe());
}

FaultServer::~FaultServer() {
  if (!process_) return;
  process_->signal(SIGTERM);
  if (!process_->wait(5)) process_->kill();
}

std::string FaultServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(httpsPort_) + path;
}

std::string FaultServer::httpUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(httpPort_) + path;
}

std::string FaultServer::requestLog() const {
  std::string path = dir_.path() + "/requests.log";
  return exists(path) ? readFile(path) : "";
}

Nginx& sharedNginx() {
  if (!nginxHolder()) nginxHolder() = std::make_unique<Nginx>();
  return *nginxHolder();
}

FaultServer& sharedFaultServer() {
  if (!faultHolder()) faultHolder() = std::make_unique<FaultServer>();
  return *faultHolder();
}

}  // namespace it
