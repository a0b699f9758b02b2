// The HTTPS probe: one GET through libcurl, the peer verified, its answer's
// status, a word in the page, and the days left on its certificates.
#pragma once

#include <cstdint>
#include <string>

#include "engine/service_verdict.h"

namespace sentrel {

// The part of the page searched for the node's word.
inline constexpr std::size_t kKeywordWindow = 64 * 1024;

struct HttpsTarget {
    std::string host;     // the node's address: URL, Host, SNI and the name verified
    std::string ipText;   // the address connected to (the host looked up once by the pass)
    std::string port;     // empty: 443
    std::string path;     // empty: "/"
    std::string expect;   // empty: no word is looked for
    std::string maxSecs;  // the whole request's limit, as the HTTPD probe reads MAXSecs
    int certDays = 0;     // fail when a certificate ends within this many days; 0 is off
};

// Success: a status 200 to 399 (redirects are not followed), the word in the
// first kKeywordWindow bytes of the body when one is set, and no certificate
// of the chain ending within certDays. The verdict carries the status and the
// chain's earliest end whenever they are known.
ServiceVerdict HttpsProbe(const HttpsTarget& target);

// Whole days from `nowSeconds` to `endSeconds` (Unix time), rounded down.
std::int64_t DaysLeft(std::int64_t endSeconds, std::int64_t nowSeconds);

// The time of a certificate's "Expire date" as libcurl shows it ("Mar  3
// 12:00:00 2027 GMT"), Unix seconds; 0 when it is not such a text.
std::int64_t CertDateSeconds(const std::string& text);

}  // namespace sentrel
