// A private network namespace for tests that need to change network settings
// (sysctls, extra addresses) or want their loopback traffic to themselves.
#pragma once

#include <functional>
#include <string>

namespace sentrel::testing {

// Runs body on a thread of its own inside a fresh network namespace with its
// loopback interface up, and waits for it. The rest of the process stays where it
// was; threads the body starts inherit the namespace, and so do sockets it opens.
// False, without running body, when no namespace can be made (it needs
// CAP_SYS_ADMIN); *why then says what failed.
bool RunInFreshNetNamespace(const std::function<void()>& body, std::string* why = nullptr);

// Writes value to /proc/sys/net/<name> (e.g. "ipv4/ping_group_range") as seen by the
// calling thread. Meant for the inside of RunInFreshNetNamespace only.
bool SetNetSysctl(const std::string& name, const std::string& value);

}  // namespace sentrel::testing
