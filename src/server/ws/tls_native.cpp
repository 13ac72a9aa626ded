// TLS natively: OpenSSL over memory buffers, the system's roots (OpenSSL's default paths, which honour
// SSL_CERT_FILE and SSL_CERT_DIR) and its host-name check.
#include <arpa/inet.h>
#include <algorithm>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "server/ws/tls.h"

namespace ws::tls {
namespace {

std::string openSslError(const char* what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return std::string(what) + ": " + text;
}

bool isAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

class OpenSslSession final : public Session {
 public:
  ~OpenSslSession() override {
    if (ssl_) SSL_free(ssl_);  // frees both buffers too
    if (context_) SSL_CTX_free(context_);
  }

  bool start(const std::string& host, std::string* reason) {
    context_ = SSL_CTX_new(TLS_client_method());
    if (!context_ || !SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION) ||
        !SSL_CTX_set_default_verify_paths(context_)) {
      *reason = openSslError("cannot set up TLS");
      return false;
    }
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(context_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
      BIO_free(in_);
      BIO_free(out_);
      *reason = openSslError("cannot set up TLS");
      return false;
    }
    SSL_set_bio(ssl_, in_, out_);
    const bool named = isAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str()) == 1
                                       : SSL_set_tlsext_host_name(ssl_, host.c_str()) == 1 &&
                                             SSL_set1_host(ssl_, host.c_str()) == 1;
    if (!named) {
      *reason = openSslError("cannot ask for the host's certificate");
      return false;
    }
    SSL_set_connect_state(ssl_);
    return true;
  }

  Step handshake(std::string& in, std::string& out, std::string* reason) override {
    feed(in);
    const int result = SSL_do_handshake(ssl_);
    drain(out);
    if (result == 1) return Step::kDone;
    if (SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ) return Step::kMore;
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
      ERR_clear_error();
      *reason = std::string("the server's certificate does not check out: ") +
                X509_verify_cert_error_string(verified);
    } else {
      *reason = openSslError("the TLS handshake failed");
    }
    return Step::kFailed;
  }

  bool encrypt(std::string_view plain, std::string& out) override {
    while (!plain.empty()) {
      const int chunk = int(std::min<size_t>(plain.size(), 1 << 20));
      if (SSL_write(ssl_, plain.data(), chunk) != chunk) {
        ERR_clear_error();
        return false;
      }
      plain.remove_prefix(size_t(chunk));
    }
    drain(out);
    return true;
  }

  Read decrypt(std::string& in, std::string& plain, std::string& out) override {
    feed(in);
    char buffer[16 * 1024];
    for (;;) {
      const int n = SSL_read(ssl_, buffer, sizeof buffer);
      if (n > 0) {
        plain.append(buffer, size_t(n));
        continue;
      }
      drain(out);
      const int error = SSL_get_error(ssl_, n);
      ERR_clear_error();
      if (error == SSL_ERROR_WANT_READ) return Read::kOpen;
      return error == SSL_ERROR_ZERO_RETURN ? Read::kClosed : Read::kFailed;
    }
  }

  std::string closeNotify() override {
    std::string out;
    SSL_shutdown(ssl_);
    ERR_clear_error();
    drain(out);
    return out;
  }

 private:
  void feed(std::string& in) {
    if (!in.empty()) BIO_write(in_, in.data(), int(in.size()));
    in.clear();
  }

  void drain(std::string& out) {
    char buffer[16 * 1024];
    int n;
    while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
  }

  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // what came from the server
  BIO* out_ = nullptr;  // what goes to it
};

}  // namespace

std::unique_ptr<Session> Session::create(const std::string& host, std::string* reason) {
  // The link's threads are detached and may still be ending when the process exits. OpenSSL's own
  // clean-up at exit would delete the key of each thread's error state under them, and the state of
  // a thread that ends after it would be lost; without it, every thread frees its own as it ends.
  static const bool initialised = OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  if (!initialised) {
    *reason = "cannot set up TLS";
    return nullptr;
  }
  auto session = std::make_unique<OpenSslSession>();
  if (!session->start(host, reason)) return nullptr;
  return session;
}

}  // namespace ws::tls
