// signin.h - the web sign-in pages: "GET /signin?return=<address>" shows a
// form; a correct e-mail address and password redirect to the return address
// followed by "#access_token=<token>&expires_in=<seconds>"; a wrong one shows
// the form again with an error. Only return addresses of the client
// ("vqzauth://postauth...") and of loopback hosts are accepted, so the page
// cannot be used to hand tokens to another site. Thread-safe.
#pragma once

#include "httpd.h"
#include "store.h"

namespace kxcloud {

void install_signin(HttpServer &server, Store &store);

}  // namespace kxcloud
