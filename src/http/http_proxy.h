#ifndef HALV_HTTP_HTTP_PROXY_H_
#define HALV_HTTP_HTTP_PROXY_H_

#include <memory>
#include <string>

namespace halv {

// Answers which proxy a URL goes through. Ownership: shared pointers, cached by one session.
// Threads: GetProxyForUrl from any number of threads at once.
class HttpProxy {
 public:
  virtual ~HttpProxy() = default;
  // Host and port (or URL) of the proxy for `url`, empty for a direct connection. Lookup
  // failures answer empty; a URL the URI parser rejects throws the parser's exception.
  virtual std::string GetProxyForUrl(const std::string& url) = 0;
};

// Direct connections for every URL: nothing is configured, or the configuration could not be
// read.
class EmptyHttpProxy : public HttpProxy {
 public:
  std::string GetProxyForUrl(const std::string& url) override;
};

// Reads the user's proxy configuration and makes the proxy of one session.
// Ownership: one factory for the whole run. Threads: any.
class HttpProxyFactory {
 public:
  virtual ~HttpProxyFactory() = default;
  virtual std::shared_ptr<HttpProxy> Create() = 0;
};

// The proxy for `url` from a proxy list and a bypass list in the system's format: tokens split
// at ";" and blanks; an "http=" token wins over the first plain token, tokens naming other
// protocols are ignored; ":" and "::" mean none. Empty when the host is bypassed.
std::string SelectProxy(const std::string& url, const std::string& list, const std::string& bypass);

// Whether one entry of `bypass` (split like a proxy list) matches the whole host.
bool IsBypassed(const std::string& host, const std::string& bypass);

// Whether `host` matches one bypass entry, a pattern where "*" stands for any run of
// characters; other characters keep their regular-expression meaning, and the comparison is
// case-sensitive. An entry that is not a valid pattern matches nothing.
bool MatchesBypassEntry(const std::string& host, const std::string& entry);

}  // namespace halv

#endif  // HALV_HTTP_HTTP_PROXY_H_
