#include "exchange/farend/sip/sip_settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace exchange {
namespace {

bool IsIpAddress(const std::string& text) {
  in_addr v4;
  in6_addr v6;
  return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

bool ParseNumber(const std::string& text, uint32_t min, uint32_t max, uint32_t* out) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

// sip:host[:port][;param...] with a host name, an IPv4 address or a bracketed IPv6 address.
bool ParseServer(const std::string& uri, SipSettings* out, std::string* error) {
  const std::string scheme = "sip:";
  if (uri.compare(0, scheme.size(), scheme) != 0) {
    *error = "server must be a sip: URI, e.g. sip:pbx.example;transport=tcp";
    return false;
  }
  std::string rest = uri.substr(scheme.size());
  std::string params;
  size_t semi = rest.find(';');
  if (semi != std::string::npos) {
    params = rest.substr(semi + 1);
    rest.resize(semi);
  }
  if (rest.find('@') != std::string::npos) {
    *error = "server names a host, not a user: drop the part before '@'";
    return false;
  }
  std::string host = rest;
  std::string port;
  bool port_given = false;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) {
      *error = "server: unterminated IPv6 address";
      return false;
    }
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') {
        *error = "server: junk after the IPv6 address";
        return false;
      }
      port = rest.substr(close + 2);
      port_given = true;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
      *error = "server: bad IPv6 address";
      return false;
    }
  } else {
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
      port_given = true;
    }
    bool ok = !host.empty() && host.size() <= 253;
    for (char c : host)
      ok = ok && IsHostChar(c);
    if (!ok) {
      *error = "server: bad host name '" + host + "'";
      return false;
    }
  }
  out->server_port = 0;
  if (port_given) {
    uint32_t number = 0;
    if (!ParseNumber(port, 1, 65535, &number)) {
      *error = "server: bad port '" + port + "'";
      return false;
    }
    out->server_port = static_cast<uint16_t>(number);
  }
  out->transport = SipTransport::kUdp;
  size_t start = 0;
  while (start <= params.size() && !params.empty()) {
    size_t end = params.find(';', start);
    std::string param = params.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (param.compare(0, 10, "transport=") == 0) {
      std::string transport = param.substr(10);
      for (char& c : transport)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (transport == "udp") {
        out->transport = SipTransport::kUdp;
      } else if (transport == "tcp") {
        out->transport = SipTransport::kTcp;
      } else {
        *error = "server: transport '" + transport + "' is not supported (udp or tcp)";
        return false;
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  out->server = uri;
  out->server_host = host;
  return true;
}

// address:port, the address IPv4 or bracketed IPv6.
bool ParseLocal(const std::string& text, SipSettings* out, std::string* error) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = "local must be address:port, e.g. 0.0.0.0:5060";
    return false;
  }
  std::string address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  uint32_t port = 0;
  if (!IsIpAddress(address) || !ParseNumber(text.substr(colon + 1), 1, 65535, &port)) {
    *error = "local must be address:port, e.g. 0.0.0.0:5060 (got '" + text + "')";
    return false;
  }
  out->local_address = address;
  out->local_port = static_cast<uint16_t>(port);
  return true;
}

bool ParseRtpPorts(const std::string& text, SipSettings* out, std::string* error) {
  size_t dash = text.find('-');
  uint32_t first = 0;
  uint32_t last = 0;
  // The range holds at least two ports: the RTP socket takes an even port picked at random within it.
  if (dash == std::string::npos || !ParseNumber(text.substr(0, dash), 1024, 65535, &first) ||
      !ParseNumber(text.substr(dash + 1), 1024, 65535, &last) || last < first + 1) {
    *error = "rtp_ports must be FIRST-LAST within 1024-65535 with LAST > FIRST, e.g. 30000-30999 (got '" +
             text + "')";
    return false;
  }
  out->rtp_port_first = static_cast<uint16_t>(first);
  out->rtp_port_last = static_cast<uint16_t>(last);
  return true;
}

bool ReadCredentials(const std::string& path, SipSettings* out, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP) {
    *error = "credentials_file " + path +
             " is a symbolic link: name the file itself (a secret is not read through a link, which could "
             "point anywhere)";
    return false;
  }
  if (fd < 0) {
    *error = "credentials_file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    *error = "credentials_file " + path + " is not a regular file";
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    close(fd);
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *error = "credentials_file " + path + " is readable by others (mode " + mode +
             "): make it readable by the service's user only (chmod 600)";
    return false;
  }
  if (info.st_uid != geteuid() && info.st_uid != 0) {
    close(fd);
    *error = "credentials_file " + path + " belongs to user " + std::to_string(info.st_uid) +
             ": a secret must belong to the exchange's own user (or root), who alone could have written it";
    return false;
  }
  std::string content;
  char buffer[512];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0 && content.size() < 4096) {
    content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  size_t line_end = content.find_first_of("\r\n");
  std::string password = content.substr(0, line_end);
  if (password.empty()) {
    *error = "credentials_file " + path + " holds no password on its first line";
    return false;
  }
  out->credentials_file = path;
  out->password = password;
  return true;
}

}  // namespace

bool ParseSipSettings(const std::vector<std::pair<std::string, std::string>>& entries, SipSettings* out,
                      std::string* error) {
  SipSettings settings;
  std::set<std::string> seen;
  bool domain_given = false;
  for (const auto& [key, value] : entries) {
    if (!seen.insert(key).second) {
      *error = "[sip] " + key + " is given twice";
      return false;
    }
    bool ok = true;
    uint32_t number = 0;
    if (key == "server") {
      ok = ParseServer(value, &settings, error);
    } else if (key == "domain") {
      domain_given = true;
      settings.domain = value;
      ok = !value.empty();
      for (char c : value)
        ok = ok && (IsHostChar(c) || c == ':' || c == '[' || c == ']');
      if (!ok) *error = "domain must be a host name or address (got '" + value + "')";
    } else if (key == "user") {
      settings.user = value;
      ok = !value.empty() && value.size() <= 64;
      for (char c : value) {
        ok = ok && (isalnum(static_cast<unsigned char>(c)) || strchr("-_.!~*'()+", c) != nullptr);
      }
      if (!ok) *error = "user must be 1-64 letters, digits or -_.!~*'()+ (got '" + value + "')";
    } else if (key == "display_name") {
      settings.display_name = value;
      ok = value.size() <= 64 && value.find_first_of("\"\\\r\n") == std::string::npos;
      if (!ok)
        *error = "display_name must be at most 64 characters without quotes, backslashes or line breaks";
    } else if (key == "credentials_file") {
      ok = ReadCredentials(value, &settings, error);
    } else if (key == "register") {
      ok = value == "yes" || value == "no";
      settings.register_trunk = value == "yes";
      if (!ok) *error = "register must be yes or no (got '" + value + "')";
    } else if (key == "local") {
      ok = ParseLocal(value, &settings, error);
    } else if (key == "rtp_ports") {
      ok = ParseRtpPorts(value, &settings, error);
    } else if (key == "public_address") {
      settings.public_address = value;
      ok = IsIpAddress(value);
      if (!ok) *error = "public_address must be an IP address (got '" + value + "')";
    } else if (key == "ring_limit") {
      ok = ParseNumber(value, 1, 600, &number);
      settings.ring_limit_s = number;
      if (!ok) *error = "ring_limit must be 1-600 seconds (got '" + value + "')";
    } else if (key == "max_wait") {
      ok = ParseNumber(value, 1, 600, &number);
      settings.max_wait_s = number;
      if (!ok) *error = "max_wait must be 1-600 seconds (got '" + value + "')";
    } else {
      *error = "[sip] has no key '" + key + "'";
      ok = false;
    }
    if (!ok) return false;
  }
  if (settings.server.empty()) {
    *error = "[sip] server is required (the PBX or outbound proxy, e.g. sip:pbx.example)";
    return false;
  }
  if (settings.user.empty()) {
    *error = "[sip] user is required (our SIP user name at the PBX)";
    return false;
  }
  if (!domain_given) settings.domain = settings.server_host;
  *out = std::move(settings);
  return true;
}

}  // namespace exchange
