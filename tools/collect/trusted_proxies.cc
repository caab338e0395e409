#include "trusted_proxies.h"

#include <stdexcept>

namespace halv::collect {
namespace {

namespace ip = boost::asio::ip;

std::array<unsigned char, 16> Bytes(const ip::address& address) {
  if (address.is_v4()) return ip::make_address_v6(ip::v4_mapped, address.to_v4()).to_bytes();
  return address.to_v6().to_bytes();
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// An X-Forwarded-For entry: an address, possibly "[v6]" or "v4:port" as some proxies write it.
bool ParseHop(std::string text, ip::address& address) {
  text = Trim(text);
  if (!text.empty() && text.front() == '[') text = text.substr(1, text.find(']') - 1);
  boost::system::error_code ec;
  address = ip::make_address(text, ec);
  if (!ec) return true;
  const auto colon = text.find(':');
  if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
    address = ip::make_address(text.substr(0, colon), ec);
  }
  return !ec;
}

}  // namespace

void TrustedProxies::Add(const std::string& cidr) {
  const auto slash = cidr.find('/');
  boost::system::error_code ec;
  const ip::address address = ip::make_address(cidr.substr(0, slash), ec);
  if (ec) throw std::invalid_argument("'" + cidr + "' is no IPv4 or IPv6 address or range");
  const unsigned width = address.is_v4() ? 32 : 128;
  unsigned bits = width;
  if (slash != std::string::npos) {
    const std::string text = cidr.substr(slash + 1);
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos ||
        std::stoul(text) > width) {
      throw std::invalid_argument("'" + cidr + "': the prefix length must be 0 to " +
                                  std::to_string(width));
    }
    bits = static_cast<unsigned>(std::stoul(text));
  }
  ranges_.push_back({Bytes(address), bits + (128 - width)});
}

bool TrustedProxies::Trusted(const ip::address& address) const {
  const auto bytes = Bytes(address);
  for (const Range& range : ranges_) {
    bool inside = true;
    for (unsigned bit = 0; bit < range.bits && inside; bit += 8) {
      const unsigned take = std::min(8u, range.bits - bit);
      const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - take));
      inside = (bytes[bit / 8] & mask) == (range.bytes[bit / 8] & mask);
    }
    if (inside) return true;
  }
  return false;
}

std::string TrustedProxies::Sender(const ip::address& peer, unsigned short port,
                                   const std::string& forwardedFor) const {
  ip::address sender = peer.is_v6() && peer.to_v6().is_v4_mapped()
                           ? ip::address(ip::make_address_v4(ip::v4_mapped, peer.to_v6()))
                           : peer;
  if (ranges_.empty() || !Trusted(sender) || Trim(forwardedFor).empty()) {
    return peer.to_string() + ":" + std::to_string(port);
  }
  std::size_t end = forwardedFor.size();
  while (Trusted(sender)) {
    const std::size_t comma = end == 0 ? std::string::npos : forwardedFor.rfind(',', end - 1);
    const std::size_t start = comma == std::string::npos ? 0 : comma + 1;
    ip::address hop;
    if (!ParseHop(forwardedFor.substr(start, end - start), hop)) break;
    sender = hop;
    if (comma == std::string::npos) break;
    end = comma;
  }
  return sender.to_string();
}

}  // namespace halv::collect
