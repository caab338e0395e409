#include "manifest/node_list_manifest.h"

#include <algorithm>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/manifest_url.h"

namespace halv {
namespace {

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool IsIpv6Character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
         c == '.';
}

// Plain decimal from 1 to 65535: no sign, no leading zero, no blank.
bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.front() == '0') return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoul(text) <= 65535;
}

// A name or bracketed address with an optional ":PORT"; the rest of a URL (a path, a user, a
// query) does not belong in a node's host.
bool IsAuthority(const std::string& authority) {
  std::size_t nameEnd = 0;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos || close == 1) return false;
    for (std::size_t i = 1; i < close; ++i) {
      if (!IsIpv6Character(authority[i])) return false;
    }
    nameEnd = close + 1;
  } else {
    while (nameEnd < authority.size() && IsNameCharacter(authority[nameEnd])) ++nameEnd;
    if (nameEnd == 0) return false;
  }
  if (nameEnd == authority.size()) return true;
  return authority[nameEnd] == ':' && IsPort(authority.substr(nameEnd + 1));
}

// `host` for a log line or a message: control characters and non-ASCII bytes as "?", cut at 80.
std::string Printable(const std::string& host) {
  std::string text = host.substr(0, 80);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return host.size() > 80 ? text + "..." : text;
}

// A NodeInfo that names no node, for the log: its host and what it lacks; without a host, its
// NodeId, or without either its place in the list.
std::string DescribeDefectiveNode(const boost::property_tree::ptree& node, std::size_t position) {
  const std::string host = node.get<std::string>("Host", "");
  const std::string id = node.get<std::string>("NodeId", "");
  if (!host.empty()) return Printable(host) + " (no NodeId)";
  if (!id.empty()) return "node " + Printable(id) + " (no Host)";
  return "node " + std::to_string(position) + " (no Host, no NodeId)";
}

}  // namespace

bool IsUsableNodeHost(const std::string& host) {
  return IsAuthority(ParseHostAddress(host).authority);
}

const std::vector<std::string>& NodeListManifest::GetLeftOutHosts() const {
  static const std::vector<std::string> none;
  return none;
}

std::uint32_t NodeListManifest::GetTotalWeight() const {
  std::uint32_t total = 0;
  for (const auto& node : GetNodes()) total += static_cast<std::uint32_t>(node->GetWeight());
  return total;
}

void StandardNodeListManifest::Read(const boost::property_tree::ptree& tree) {
  try {
    nodes_.clear();
    leftOut_.clear();
    std::size_t position = 0;
    for (const auto& child : tree.get_child("ArrayOfNodeInfo")) {
      if (child.first != "NodeInfo") continue;
      ++position;
      std::shared_ptr<StandardNodeManifest> node;
      try {
        node = std::make_shared<StandardNodeManifest>(child.second);
      } catch (const ManifestParseException&) {
        // One defective entry must not stop the other nodes, as a bad host does not.
        leftOut_.push_back(DescribeDefectiveNode(child.second, position));
        continue;
      }
      if (IsUsableNodeHost(node->GetHost())) {
        nodes_.push_back(std::move(node));
      } else {
        leftOut_.push_back(Printable(node->GetHost()));
      }
    }
  } catch (...) {
    throw ManifestParseException();
  }
  if (nodes_.empty()) {
    if (leftOut_.empty()) throw ManifestParseException();
    // A few names are enough to find the fault; a list of thousands stays one line.
    std::string hosts;
    const std::size_t shown = std::min<std::size_t>(leftOut_.size(), 5);
    for (std::size_t i = 0; i < shown; ++i) {
      hosts += (i == 0 ? "\"" : ", \"") + leftOut_[i] + "\"";
    }
    if (shown < leftOut_.size())
      hosts += " and " + std::to_string(leftOut_.size() - shown) + " more";
    throw ManifestParseException("no node of the list has a usable host: " + hosts);
  }
  if (GetTotalWeight() != 0) {
    nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                                [](const std::shared_ptr<NodeManifest>& node) {
                                  return node->GetWeight() == 0;
                                }),
                 nodes_.end());
  } else {
    for (const auto& node : nodes_) node->ResetWeight();
  }
}

}  // namespace halv
