#include "http/HTTPResponse.hpp"

#include "text/JSONText.hpp"

namespace tavlo {
namespace {
constexpr const char* kJSONContentType = "application/json; charset=utf-8";

// A header field never ends its line early: CR and LF are left out.
void appendFieldText(std::string& out, const std::string& text) {
  for (char c : text) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
}
}  // namespace

HTTPResponse HTTPResponse::json(const nlohmann::json& value, int status) {
  HTTPResponse response;
  response.status = status;
  response.headers["Content-Type"] = kJSONContentType;
  response.body = writeCompactJSON(value);  // never throws
  return response;
}

HTTPResponse HTTPResponse::text(std::string text, int status) {
  HTTPResponse response;
  response.status = status;
  response.headers["Content-Type"] = "text/plain; charset=utf-8";
  response.body = std::move(text);
  return response;
}

HTTPResponse HTTPResponse::notFound() {
  return json({{"ok", false}, {"error", "not found"}}, 404);
}

HTTPResponse HTTPResponse::badRequest(std::string_view message) {
  return json({{"ok", false}, {"error", message}}, 400);
}

std::string_view HTTPResponse::statusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 501: return "Not Implemented";
    case 500: return "Internal Server Error";
    default: return "OK";  // the phone reads only the status code
  }
}

std::string HTTPResponse::serialize() const {
  std::map<std::string, std::string> fields = headers;
  fields["Content-Length"] = std::to_string(body.size());
  fields["Connection"] = "close";
  fields["Access-Control-Allow-Origin"] = "*";
  fields.try_emplace("Content-Type", kJSONContentType);

  std::string out;
  out.reserve(128 + body.size());
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += statusText(status);
  out += "\r\n";
  for (const auto& [key, value] : fields) {
    appendFieldText(out, key);
    out += ": ";
    appendFieldText(out, value);
    out += "\r\n";
  }
  out += "\r\n";
  out += body;
  return out;
}

}  // namespace tavlo
