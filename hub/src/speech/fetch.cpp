#include "speech/fetch.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/version.hpp>

#include "common/failure.h"

namespace hub::speech {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::use_awaitable;

struct Url {
  bool secure = false;
  std::string host, port, target;
};

std::optional<Url> parse(const std::string& url) {
  Url u;
  std::string_view rest = url;
  if (rest.starts_with("https://")) {
    u.secure = true;
    rest.remove_prefix(8);
  } else if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  u.target = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  const auto colon = authority.rfind(':');
  u.host = std::string(authority.substr(0, colon));
  u.port = colon == std::string_view::npos ? (u.secure ? "443" : "80") : std::string(authority.substr(colon + 1));
  if (u.host.empty()) return std::nullopt;
  return u;
}

template <class Stream>
asio::awaitable<void> exchange(Stream& stream, const Url& u, Fetched& out) {
  http::request<http::empty_body> request{http::verb::get, u.target, 11};
  request.set(http::field::host, u.host);
  request.set(http::field::user_agent, "kassaro-hub");
  request.set(http::field::connection, "close");
  co_await http::async_write(stream, request, use_awaitable);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(16 << 20);
  co_await http::async_read(stream, buffer, parser, use_awaitable);
  out.status = parser.get().result_int();
  out.contentType = std::string(parser.get()[http::field::content_type]);
  out.body = std::move(parser.get().body());
}

asio::awaitable<void> run(const Url& u, std::chrono::seconds deadline, asio::ssl::context* tls, Fetched& out) {
  auto executor = co_await asio::this_coro::executor;
  asio::ip::tcp::resolver resolver(executor);
  const auto addresses = co_await resolver.async_resolve(u.host, u.port, use_awaitable);
  if (!tls) {
    beast::tcp_stream stream(executor);
    stream.expires_after(deadline);
    co_await stream.async_connect(addresses, use_awaitable);
    co_await exchange(stream, u, out);
    co_return;
  }
  beast::ssl_stream<beast::tcp_stream> stream(executor, *tls);
  beast::get_lowest_layer(stream).expires_after(deadline);
  if (!SSL_set_tlsext_host_name(stream.native_handle(), u.host.c_str()))
    throw Failure("cannot set the server name");
  stream.set_verify_callback(asio::ssl::host_name_verification(u.host));
  co_await beast::get_lowest_layer(stream).async_connect(addresses, use_awaitable);
  co_await stream.async_handshake(asio::ssl::stream_base::client, use_awaitable);
  co_await exchange(stream, u, out);
}

}  // namespace

Fetched fetch(const std::string& url, std::chrono::seconds deadline, const std::filesystem::path& caFile) {
  Fetched out;
  const auto u = parse(url);
  if (!u) {
    out.error = "not an http:// or https:// address: " + url;
    return out;
  }
  std::optional<asio::ssl::context> tls;
  try {
    if (u->secure) {
      tls.emplace(asio::ssl::context::tls_client);
      tls->set_verify_mode(asio::ssl::verify_peer);
      if (caFile.empty())
        tls->set_default_verify_paths();
      else
        tls->load_verify_file(caFile.string());
    }
  } catch (const std::exception& e) {
    out.error = "cannot load " + caFile.string() + ": " + e.what();
    return out;
  }
  asio::io_context loop;
  asio::co_spawn(loop, run(*u, deadline, tls ? &*tls : nullptr, out), [&out](std::exception_ptr failure) {
    if (!failure) return;
    try {
      std::rethrow_exception(failure);
    } catch (const boost::system::system_error& e) {
      out.status = 0;
      out.error = e.code() == beast::error::timeout ? "no answer in time" : e.code().message();
    } catch (const std::exception& e) {
      out.status = 0;
      out.error = e.what();
    }
  });
  // The resolver's own wait is not covered by the stream's clock: the loop's is the last word.
  loop.run_for(deadline + std::chrono::seconds(1));
  if (!loop.stopped()) {
    loop.stop();
    out = Fetched();
    out.error = "no answer in time";
  }
  return out;
}

}  // namespace hub::speech
