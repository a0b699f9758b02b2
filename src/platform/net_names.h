// Host names and dotted addresses, as the program needs them.
#pragma once

#include <netinet/in.h>

#include "platform/ip_address.h"

#include <string>

namespace sentrel {

// Looks a name up and gives the first IPv4 address of the answer in dotted form.
bool LookupHostIPv4(const std::string& name, std::string* dotted);

// Looks a name up and gives the first IPv6 address of the answer ("%index" added
// for an address with a scope).
bool LookupHostIPv6(const std::string& name, std::string* text);

// True for text taken as an address as it is, never looked up: text holding a
// ':' (an IPv6 literal) or starting with a decimal digit (dotted IPv4).
bool IsAddressText(const std::string& text);

// The address text the probes use for a node address. Text holding a ':' is an
// IPv6 literal and text starting with a decimal digit dotted IPv4: either is its own
// text, never looked up. Anything else is a name, looked up: its first IPv4 address
// when it has one, else its first IPv6 address (a link-local one with "%<zone
// index>"). True when `text` was set.
bool NodeAddressText(const std::string& name, std::string* text);

// The local host name (at most 49 characters); false when it cannot be read.
bool LocalHostName(std::string* name);

}  // namespace sentrel
