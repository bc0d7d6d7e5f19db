#include "signin.h"

#include <string>

#include "soap.h"

namespace kxcloud {
namespace {

constexpr int64_t kTokenTtlSeconds = 30LL * 24 * 3600;

std::string url_decode(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string form_field(const std::string &body, const std::string &name) {
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t end = body.find('&', pos);
    if (end == std::string::npos) end = body.size();
    std::string item = body.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos && url_decode(item.substr(0, eq)) == name)
      return url_decode(item.substr(eq + 1));
    pos = end + 1;
  }
  return std::string();
}

bool allowed_return(const std::string &r) {
  if (r.compare(0, 18, "vqzauth://postauth") == 0) return true;
  for (const char *p : {"http://127.0.0.1", "http://localhost", "https://127.0.0.1",
                        "https://localhost"}) {
    size_t n = std::char_traits<char>::length(p);
    if (r.compare(0, n, p) == 0 && (r.size() == n || r[n] == ':' || r[n] == '/')) return true;
  }
  return false;
}

std::string page(const std::string &ret, const std::string &email, const std::string &error) {
  std::string h =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Kexaro sign-in</title>"
      "<style>body{font-family:sans-serif;max-width:22em;margin:4em auto}"
      "input{display:block;width:100%;margin:.3em 0 1em}.error{color:#b00}</style></head>"
      "<body><h1>Sign in to Kexaro</h1>";
  if (!error.empty()) {
    h += "<p class=\"error\">";
    xml_escape(&h, error);
    h += "</p>";
  }
  h += "<form method=\"post\" action=\"/signin\"><input type=\"hidden\" name=\"return\" value=\"";
  xml_escape(&h, ret);
  h += "\"><label>E-mail address<input type=\"email\" name=\"email\" value=\"";
  xml_escape(&h, email);
  h += "\" autofocus></label><label>Password<input type=\"password\" name=\"password\"></label>"
       "<button type=\"submit\">Sign in</button></form></body></html>";
  return h;
}

}  // namespace

void install_signin(HttpServer &server, Store &store) {
  server.Get("/signin", [](const httplib::Request &req, httplib::Response &res) {
    std::string ret = req.get_param_value("return");
    if (!allowed_return(ret)) {
      res.status = 400;
      res.set_content("return address not allowed\n", "text/plain");
      return;
    }
    res.set_content(page(ret, "", ""), "text/html; charset=utf-8");
  });
  server.Post("/signin", [&store](const httplib::Request &req, httplib::Response &res) {
    std::string ret = form_field(req.body, "return");
    std::string email = form_field(req.body, "email");
    if (!allowed_return(ret)) {
      res.status = 400;
      res.set_content("return address not allowed\n", "text/plain");
      return;
    }
    int64_t userid;
    std::string token;
    if (store.check_password(email, form_field(req.body, "password"), &userid) ||
        store.add_token(userid, kTokenTtlSeconds * 1000, "", &token)) {
      res.status = 200;
      res.set_content(page(ret, email, "Wrong e-mail address or password."),
                      "text/html; charset=utf-8");
      return;
    }
    std::string target = ret.substr(0, ret.find('#'));
    res.status = 302;
    res.set_header("Location", target + "#access_token=" + token +
                                   "&expires_in=" + std::to_string(kTokenTtlSeconds));
    res.set_header("Cache-Control", "no-store");
  });
}

}  // namespace kxcloud
