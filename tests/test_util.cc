#include "tests/test_util.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "platform/system.h"
#include "util/quote.h"

ScratchDir::ScratchDir() {
  char templ[] = "/tmp/setup-test-XXXXXX";
  if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

ScratchDir::~ScratchDir() { removeItemAtPath(path_); }

void writeFile(const std::string& path, const std::string& bytes, int mode) {
  std::ofstream(path, std::ios::binary) << bytes;
  chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  try {
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  } catch (const std::exception&) {  // a /proc file whose process ended while it was read
    return "";
  }
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void makeZip(const std::string& zip, const std::map<std::string, std::string>& files) {
  ScratchDir dir; std::string names;
  for (const auto& [name, content] : files)
    writeFile(dir / name, content), names += " " + smart_quote(name);
  if (shell("cd " + smart_quote(dir.path()) + " && zip -q -X " + smart_quote(zip) + names))
    throw std::runtime_error("zip failed for " + zip);
}

int shell(const std::string& command) {
  int status = system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void makeMinisignKeys(const std::string& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names)
    if (std::string pair = smart_quote(dir + "/" + name);
        shell("minisign -G -W -p " + pair + ".pub -s " + pair + ".sec"))
      throw std::runtime_error("minisign -G failed for " + dir + "/" + name);
}

void signWithMinisign(const std::string& secretKey, const std::string& file,
                      const std::string& flags) {
  if (shell("minisign -S " + flags + " -s " + smart_quote(secretKey) + " -m " + smart_quote(file) +
            " -x " + smart_quote(file + ".minisig")))
    throw std::runtime_error("minisign -S failed for " + file);
}

std::string loopbackPort(int* listener) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET, address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) || (listener && listen(fd, 4)))
    throw std::runtime_error("cannot bind or listen on 127.0.0.1");
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  listener ? void(*listener = fd) : void(close(fd));
  return std::to_string(ntohs(address.sin_port));
}
