// A small XML reader and writer for configuration files: elements,
// attributes and comments, kept in document order so that a file read and
// written again keeps what it held. No DTDs, no namespaces processing.
#pragma once

#include <list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace iisadmin {

struct XmlNode {
  bool is_comment = false;
  std::string name;  // element name, or the comment's text
  std::vector<std::pair<std::string, std::string>> attributes;
  std::list<XmlNode> children;  // a list: editors hold pointers into it
  std::string text;             // character data, trimmed; rare in configuration

  const std::string *attribute(std::string_view key) const;
  void set_attribute(std::string_view key, std::string_view value);
  bool remove_attribute(std::string_view key);
  XmlNode *child(std::string_view child_name);
  const XmlNode *child(std::string_view child_name) const;
  XmlNode &child_or_add(std::string_view child_name);
};

// Parses a whole document into its root element; false with a message
// (line number included) for malformed input.
bool parse_xml(std::string_view text, XmlNode &root, std::string &error);

// The document with an XML declaration, one element per line, tab
// indentation, LF line ends, empty elements as "<name ... />".
std::string write_xml(const XmlNode &root);

}  // namespace iisadmin
