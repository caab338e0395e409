#include "http/http_proxy.h"

#include <vector>

#include <Poco/URI.h>
#include <boost/algorithm/string/replace.hpp>
#include <boost/xpressive/xpressive.hpp>

namespace halv {
namespace {

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> tokens;
  std::string token;
  for (const char c : list) {
    if (c == ';' || c == ' ' || c == '\t') {
      if (!token.empty()) tokens.push_back(std::move(token));
      token.clear();
    } else {
      token.push_back(c);
    }
  }
  if (!token.empty()) tokens.push_back(std::move(token));
  return tokens;
}

}  // namespace

std::string EmptyHttpProxy::GetProxyForUrl(const std::string&) { return std::string(); }

std::string SelectProxy(const std::string& url, const std::string& list,
                        const std::string& bypass) {
  const std::string host = Poco::URI(url).getHost();
  const std::vector<std::string> tokens = SplitList(list);
  if (tokens.empty()) return std::string();

  std::string protocolCandidate;
  std::string plainCandidate;
  for (const std::string& token : tokens) {
    if (protocolCandidate.empty() && token.compare(0, 5, "http=") == 0) {
      protocolCandidate = token.substr(5);
    } else if (plainCandidate.empty() && token.find('=') == std::string::npos) {
      plainCandidate = token;
    }
  }
  const std::string& proxy = protocolCandidate.empty() ? plainCandidate : protocolCandidate;
  if (proxy == ":" || proxy == "::" || IsBypassed(host, bypass)) return std::string();
  return proxy;
}

bool IsBypassed(const std::string& host, const std::string& bypass) {
  for (const std::string& entry : SplitList(bypass)) {
    if (MatchesBypassEntry(host, entry)) return true;
  }
  return false;
}

bool MatchesBypassEntry(const std::string& host, const std::string& entry) {
  namespace xp = boost::xpressive;
  std::string pattern = "^" + entry + "$";
  boost::replace_all(pattern, ".", "\\.");
  boost::replace_all(pattern, "*", ".*");
  xp::sregex regex;
  try {
    regex = xp::sregex::compile(pattern);
  } catch (const xp::regex_error&) {
    // An entry that is no valid pattern after the rewriting bypasses nothing.
    return false;
  }
  if (regex.regex_id() == nullptr) return false;
  return xp::regex_match(host, regex);
}

}  // namespace halv
