// Port names in URL form, checked before anything is opened.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "serial/net.h"

namespace {

bool all_of(const std::string& text, const char* allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

const char NAME_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";
const char IPV6_CHARS[] = "0123456789abcdefABCDEF:.";

}  // namespace

NetParse net_name_parse(const char* name, NetName& parsed) {
  const char* mark = strstr(name, "://");
  if (!mark) return NetNotUrl;
  std::string scheme(name, mark - name);
  for (char& c : scheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (scheme == "rfc2217")
    parsed.scheme = NetRfc2217;
  else if (scheme == "tcp")
    parsed.scheme = NetTcp;
  else
    return NetBadUrl;
  std::string rest = mark + 3;
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return NetBadUrl;
    parsed.host = rest.substr(1, close - 1);
    if (!all_of(parsed.host, IPV6_CHARS) || parsed.host.find(':') == std::string::npos)
      return NetBadUrl;
    colon = close + 1;
    if (colon >= rest.size() || rest[colon] != ':') return NetBadUrl;
  } else {
    colon = rest.find(':');
    if (colon == std::string::npos) return NetBadUrl;
    parsed.host = rest.substr(0, colon);
    if (!all_of(parsed.host, NAME_CHARS) || parsed.host.size() > 253 || parsed.host[0] == '-')
      return NetBadUrl;
  }
  std::string port = rest.substr(colon + 1);
  if (!all_of(port, "0123456789") || port.size() > 5) return NetBadUrl;
  unsigned long number = strtoul(port.c_str(), nullptr, 10);
  if (number < 1 || number > 65535) return NetBadUrl;
  parsed.port = static_cast<uint16_t>(number);
  return NetUrl;
}
