// api.h - the methods of the service's RPC interface and their HTTP binding.
//
// `Api::call` runs one method on decoded arguments and returns its results or
// a service error (code, the error table's text, a context naming what was
// wrong). Every method but "loginUser" and "getOwnerAuth" checks "valtoken"
// (606). `serve_rpc` binds a method table to HTTP: SOAP 1.1 on ordinary paths,
// the packet encoding on paths holding "/pktm/" (the method is the last path
// segment there); faults answer status 500. Thread-safe: the state lives in
// the store and the content folder.
#pragma once

#include <functional>
#include <string>

#include "files.h"
#include "httpd.h"
#include "store.h"
#include "value.h"

namespace kxcloud {

struct Reply {
  int code = 0;  // 0 or a service error code
  std::string description, context;
  Value result = Value::map();
};

// The text of a service error code.
const char *service_error_text(int code);
Reply fault(int code, const std::string &context);

using Method = std::function<Reply(const std::string &method, const Args &args)>;
void serve_rpc(const httplib::Request &req, httplib::Response &res, const Method &method);

class Api {
 public:
  // `base_url` ("http://127.0.0.1:PORT") is written into service records;
  // `owner_email` names the account "getOwnerAuth" answers for (may be empty).
  Api(Store &store, Content &content, Faults &faults, std::string base_url,
      std::string owner_email);

  Reply call(const std::string &method, const Args &args);
  // Routes "/svc/api..." (SOAP) and ".../pktm/<method>" (packets).
  void install(HttpServer &server);

 private:
  Reply login_user(const Args &a);
  Reply get_user(const User &u);
  Reply get_owner_auth();
  Reply list_services(const User &u);
  Reply get_service(const User &u, const Args &a);
  Reply get_device(const User &u, const Args &a);
  Reply list_albums(const User &u);
  Reply get_file(const Service &s, const Args &a);
  Reply list_files(const Service &s, const Args &a);
  Reply create_file(const Service &s, const Args &a);
  Reply update_file(const Service &s, const Args &a);
  Reply remove_file(const Service &s, const Args &a);
  Reply move_file(const Service &s, const Args &a);
  Reply stat_fs(const Service &s);

  Value service_map(const Service &s) const;
  Value file_map(const Service &s, const FileRec &f) const;
  int placement_folder(const Service &s, const Args &a, int64_t *parent);

  Store &store_;
  Content &content_;
  Faults &faults_;
  std::string base_url_, owner_email_;
};

// The local device agent's method table: "getStatus" answers "deviceid".
void install_agent(HttpServer &server, const std::string &deviceid);

}  // namespace kxcloud
