// The desktop's proxies through GIO's default resolver, on a thread of its
// own that hands its answer to the loop through a pipe.
#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/proxy.h"
#include "platform/shared_library.h"

const char kGioLibraryName[] = "libgio-2.0.so.0";

namespace {

// g_strfreev and g_error_free are GLib's; the handle of GIO finds them
// among its dependencies.
#define SETUP_GIO_FUNCTIONS(X)                                                              \
  X(g_proxy_resolver_get_default) X(g_proxy_resolver_lookup) X(g_strfreev) X(g_error_free)    \
  X(g_settings_schema_source_get_default) X(g_settings_schema_source_lookup)                 \
  X(g_settings_schema_unref) X(g_settings_new) X(g_settings_get_boolean)                     \
  X(g_settings_get_string) X(g_settings_get_int) X(g_object_unref) X(g_free)

struct GioLibrary {
  SETUP_GIO_FUNCTIONS(SETUP_LIBRARY_MEMBER)
};

GioLibrary* load() {
  static GioLibrary gio;
  GioLibrary* table = &gio;
  void* handle = dlopen(kGioLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!handle || !(SETUP_GIO_FUNCTIONS(SETUP_LIBRARY_BIND) true)) return nullptr;
  return &gio;
}

const GioLibrary* gioLibrary() {
  static const GioLibrary* gio = load();
  return gio;
}

// A string of GSettings' taken, its copy overwritten before it is freed.
std::string takeString(const GioLibrary* gio, GSettings* settings, const char* key) {
  gchar* value = gio->g_settings_get_string(settings, key);
  std::string taken = value ? value : "";
  if (value) explicit_bzero(value, strlen(value));
  gio->g_free(value);
  return taken;
}

// GNOME's credentials for its HTTP proxy, where its schema is installed
// (g_settings_new aborts on a schema that is not).
void readGnomeLogin(const GioLibrary* gio, DesktopProxies* answer) {
  static const char kSchema[] = "org.gnome.system.proxy.http";
  GSettingsSchemaSource* source = gio->g_settings_schema_source_get_default();
  GSettingsSchema* schema = source ? gio->g_settings_schema_source_lookup(source, kSchema, TRUE)
                                   : nullptr;
  if (!schema) return;
  gio->g_settings_schema_unref(schema);
  GSettings* settings = gio->g_settings_new(kSchema);
  if (gio->g_settings_get_boolean(settings, "use-authentication")) {
    answer->loginHost = takeString(gio, settings, "host");
    answer->loginPort = gio->g_settings_get_int(settings, "port");
    answer->loginUser = takeString(gio, settings, "authentication-user");
    answer->loginPassword = takeString(gio, settings, "authentication-password");
  }
  gio->g_object_unref(settings);
}

DesktopProxies askGio(const std::string& url) {
  DesktopProxies answer;
  const GioLibrary* gio = gioLibrary();
  if (!gio) {
    answer.why = std::string(kGioLibraryName) + " cannot be loaded";
    return answer;
  }
  GError* error = nullptr;
  gchar** proxies = gio->g_proxy_resolver_lookup(gio->g_proxy_resolver_get_default(), url.c_str(),
                                                 nullptr, &error);
  if (proxies) {
    for (gchar** proxy = proxies; *proxy; ++proxy) answer.proxies.push_back(*proxy);
    gio->g_strfreev(proxies);
    answer.answered = true;
    readGnomeLogin(gio, &answer);
  } else {
    answer.why = error ? error->message : "GIO's proxy resolver gave no answer";
  }
  if (error) gio->g_error_free(error);
  return answer;
}

// What the thread and the lookup share; whichever lets go last closes the
// pipe, so that the thread never writes into a closed one.
struct Shared {
  int fds[2] = {-1, -1};
  std::mutex mutex;
  DesktopProxies answer;
  ~Shared() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
};

class GioLookup : public DesktopProxyLookup {
 public:
  GioLookup(Loop& loop, const std::string& url, double seconds, DesktopProxiesDone done)
      : loop_(loop), done_(std::move(done)), shared_(std::make_shared<Shared>()), timer_(loop) {
    if (pipe2(shared_->fds, O_CLOEXEC) != 0) {
      std::string why = std::string("cannot make a pipe: ") + strerror(errno);
      timer_.schedule(0, [this, why] { deliver({false, {}, why}); });
      return;
    }
    watch_ = loop_.watchFd(shared_->fds[0], Loop::kReadable, [this](int) { answered(); });
    timer_.schedule(seconds, [this, seconds] {
      char text[64];
      snprintf(text, sizeof(text), "no answer within %g s", seconds);
      deliver({false, {}, text});
    });
    // Detached: a PAC script that hangs must not hold up the end of the run.
    std::thread([shared = shared_, url] {
      DesktopProxies answer = askGio(url);
      {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->answer = std::move(answer);
      }
      char byte = 1;
      while (write(shared->fds[1], &byte, 1) < 0 && errno == EINTR) {}
    }).detach();
  }
  ~GioLookup() override { stop(); }

 private:
  void answered() {
    DesktopProxies answer;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      answer = shared_->answer;
    }
    deliver(answer);
  }

  // |done| comes last: it may destroy this lookup.
  void deliver(DesktopProxies answer) {
    stop();
    DesktopProxiesDone done = std::move(done_);
    if (done) done(answer);
  }

  void stop() {
    if (watch_) loop_.unwatchFd(watch_);
    watch_ = 0;
    timer_.cancel();
  }

  Loop& loop_;
  DesktopProxiesDone done_;
  std::shared_ptr<Shared> shared_;
  Loop::Handle watch_ = 0;
  LoopCall timer_;
};

}  // namespace

std::unique_ptr<DesktopProxyLookup> lookUpDesktopProxies(Loop& loop, const std::string& url,
                                                         double seconds, DesktopProxiesDone done) {
  return std::make_unique<GioLookup>(loop, url, seconds, std::move(done));
}
