// What every libcurl client of the program shares: the library's one start, and
// TLS verification against the system's trust store.
#pragma once

#include <curl/curl.h>

namespace sentrel {

// curl_global_init once for the process, whichever thread asks first.
void CurlStartOnce();

// Peer and host name verified; the trust store is the system's, or the file
// and folder named by SSL_CERT_FILE and SSL_CERT_DIR when they are set.
void CurlVerifyPeer(CURL* handle);

}  // namespace sentrel
