#ifndef HALV_TOOLS_COLLECT_TRUSTED_PROXIES_H_
#define HALV_TOOLS_COLLECT_TRUSTED_PROXIES_H_

#include <array>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

// The reverse proxies whose X-Forwarded-For a collector believes. Built before serving, then
// only read: any thread.
namespace halv::collect {

class TrustedProxies {
 public:
  // Adds "ADDRESS/BITS" or a single "ADDRESS", IPv4 or IPv6. Throws std::invalid_argument.
  void Add(const std::string& cidr);

  // Who sent a request that arrived from `peer`:`port` with the X-Forwarded-For value
  // `forwardedFor` (empty when none). Without trusted ranges, or from an untrusted peer, the
  // peer itself ("ADDRESS:PORT"). From a trusted proxy, the right-most address of the header
  // that is outside every trusted range (the proxies append, so what lies left of the first
  // untrusted hop may be forged); when every hop is trusted, the left-most; an entry that does
  // not parse ends the walk at the hop to its right.
  std::string Sender(const boost::asio::ip::address& peer, unsigned short port,
                     const std::string& forwardedFor) const;

 private:
  struct Range {
    std::array<unsigned char, 16> bytes;  // IPv4 as IPv4-mapped IPv6
    unsigned bits;                        // of the 128
  };
  bool Trusted(const boost::asio::ip::address& address) const;

  std::vector<Range> ranges_;
};

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_TRUSTED_PROXIES_H_
