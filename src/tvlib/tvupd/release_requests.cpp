// The release service's health, token and release routes.
#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "binding/python_text.hpp"
#include "core/http/ca_bundle.hpp"
#include "core/http/client.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

// One client per thread, since a client may not be shared between threads.
// Each request still goes out on a connection of its own.
http::Client& thread_client() {
  thread_local http::Client client;
  return client;
}

std::string base_address() { return binding::text_of(client().baur()); }

// The reply is OK when its status lies outside 400 to 599.
bool is_ok(long status) { return status < 400 || status > 599; }

// The routes answer small JSON documents; a reply beyond this is no answer of
// theirs, and reading it whole would only cost the host memory.
constexpr std::size_t max_reply_size = 4 * std::size_t{1024 * 1024};

// A reply whose body is not wanted ends the transfer at its head: a refusal
// of any size is a refusal and not a failure, and the health reply's body is
// never read.
class BoundedReply final : public http::StreamHandler {
 public:
  struct HeadOnly {};
  using BodyWanted = bool (*)(long status);
  explicit BoundedReply(BodyWanted body_wanted) : body_wanted_(body_wanted) {}
  void on_head(const http::Head& head) override {
    response_.head = head;
    if (!body_wanted_(head.status)) {
      throw HeadOnly{};
    }
  }
  void on_piece(std::span<const std::byte> piece) override {
    if (response_.body.size() + piece.size() > max_reply_size) {
      throw std::runtime_error("the reply is larger than " +
                               std::to_string(max_reply_size) + " bytes");
    }
    response_.body.append(reinterpret_cast<const char*>(piece.data()), piece.size());
  }
  http::Response take() { return std::move(response_); }

 private:
  BodyWanted body_wanted_;
  http::Response response_;
};

http::Response send(http::Request request,
                    BoundedReply::BodyWanted body_wanted = is_ok) {
  // Read with the GIL held: os.environ writes race a read without it.
  request.ca_bundle = http::ca_bundle_setting();
  request.proxy = http::proxy_variables();
  BoundedReply reply(body_wanted);
  try {
    py::gil_scoped_release unlocked;
    thread_client().stream(request, reply);
  } catch (const BoundedReply::HeadOnly&) {
    // The status is all that counts.
  }
  return reply.take();
}

py::object decode_json(const std::string& body) {
  return py::module_::import("json").attr("loads")(py::bytes(body));
}

}  // namespace

long health_status() {
  http::Request request;
  request.url = base_address() + "/health";
  request.connect_timeout = service_timeout;
  request.read_timeout = service_timeout;
  // The answer is the head; the body is never read.
  request.head_timeout = health_deadline;
  request.total_timeout = health_deadline;
  // Only the status counts.
  return send(request, [](long /*status*/) { return false; }).head.status;
}

py::object generate_jwt_token(const py::object& email, const py::object& license_key) {
  py::dict credentials;  // the JSON body keeps this order
  credentials[email_field] = email;
  credentials[license_key_field] = license_key;
  http::Request request;
  request.method = "POST";
  request.url = base_address() + "/license/generate-jwt";
  request.headers = {{"Content-Type", "application/json"}};
  request.body =
      binding::text_of(py::module_::import("json").attr("dumps")(credentials));
  request.connect_timeout = service_timeout;
  request.read_timeout = service_timeout;
  request.total_timeout = service_deadline;
  const http::Response response = send(request);
  if (!is_ok(response.head.status)) {
    return py::none();
  }
  const py::object reply = decode_json(response.body);
  if (!py::isinstance<py::dict>(reply)) {
    throw py::type_error("the token reply is not a JSON object");
  }
  py::object token = reply.attr("get")("jwt_token");
  if (token.is_none() || py::isinstance<py::str>(token)) {
    return token;
  }
  throw py::type_error("the token reply's jwt_token is not a text");
}

py::object get_latest_release(const py::object& token, const py::object& package_type,
                              const py::object& email,
                              const py::object& version_offset) {
  http::Request request;
  request.url = base_address() + "/license/latest-release";
  request.headers = {{"Authorization", "Bearer " + binding::text_of(token)}};
  request.query = {{package_selector, binding::text_of(package_type)},
                   {email_field, binding::text_of(email)},
                   {"version_offset", binding::text_of(version_offset)}};
  request.connect_timeout = service_timeout;
  request.read_timeout = service_timeout;
  request.total_timeout = service_deadline;
  const http::Response response = send(request);
  if (!is_ok(response.head.status)) {
    return py::none();
  }
  py::object release = decode_json(response.body);
  if (release.is_none() || py::isinstance<py::dict>(release)) {
    return release;
  }
  throw py::type_error("the release reply is not a JSON object");
}

}  // namespace tvlib::tvupd
