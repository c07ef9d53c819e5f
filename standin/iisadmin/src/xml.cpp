#include "iisadmin/xml.h"

#include <cstdint>

namespace iisadmin {

const std::string *XmlNode::attribute(std::string_view key) const {
  for (const auto &[k, v] : attributes)
    if (k == key) return &v;
  return nullptr;
}

void XmlNode::set_attribute(std::string_view key, std::string_view value) {
  for (auto &[k, v] : attributes)
    if (k == key) {
      v = value;
      return;
    }
  attributes.emplace_back(std::string(key), std::string(value));
}

bool XmlNode::remove_attribute(std::string_view key) {
  for (auto it = attributes.begin(); it != attributes.end(); ++it)
    if (it->first == key) {
      attributes.erase(it);
      return true;
    }
  return false;
}

XmlNode *XmlNode::child(std::string_view child_name) {
  for (auto &c : children)
    if (!c.is_comment && c.name == child_name) return &c;
  return nullptr;
}

const XmlNode *XmlNode::child(std::string_view child_name) const {
  return const_cast<XmlNode *>(this)->child(child_name);
}

XmlNode &XmlNode::child_or_add(std::string_view child_name) {
  if (XmlNode *c = child(child_name)) return *c;
  XmlNode &c = children.emplace_back();
  c.name = child_name;
  return c;
}

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  bool parse(XmlNode &root, std::string &error) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    bool have_root = false;
    while (true) {
      skip_space();
      if (pos_ >= s_.size()) break;
      if (starts("<?")) {
        if (!skip_past("?>")) return fail(error, "unterminated declaration");
      } else if (starts("<!--")) {
        if (!skip_past("-->")) return fail(error, "unterminated comment");
      } else if (starts("<!")) {
        return fail(error, "document type declarations are not supported");
      } else if (starts("<") && !have_root) {
        if (!element(root)) return fail(error, message_);
        have_root = true;
      } else {
        return fail(error, "content after the root element");
      }
    }
    if (!have_root) return fail(error, "no root element");
    return true;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  std::string message_;
  int depth_ = 0;

  bool fail(std::string &error, const std::string &what) {
    int line = 1;
    for (size_t i = 0; i < pos_ && i < s_.size(); ++i)
      if (s_[i] == '\n') ++line;
    error = "line " + std::to_string(line) + ": " + what;
    return false;
  }
  bool bad(const char *what) {
    message_ = what;
    return false;
  }
  bool starts(std::string_view p) const { return s_.substr(pos_, p.size()) == p; }
  bool skip_past(std::string_view p) {
    size_t at = s_.find(p, pos_);
    if (at == std::string_view::npos) return false;
    pos_ = at + p.size();
    return true;
  }
  void skip_space() {
    while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
  }
  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool is_name_char(char c) {
    return !is_space(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' &&
           c != '\'' && c != '&' && c != '\0';
  }
  std::string name() {
    size_t start = pos_;
    while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
    return std::string(s_.substr(start, pos_ - start));
  }

  static void append_utf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // Decodes entity and character references of raw text into out.
  bool decode(std::string_view raw, std::string &out) {
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '&') {
        out += raw[i];
        continue;
      }
      size_t end = raw.find(';', i);
      if (end == std::string_view::npos) return bad("unterminated entity reference");
      std::string_view ref = raw.substr(i + 1, end - i - 1);
      if (ref == "lt") out += '<';
      else if (ref == "gt") out += '>';
      else if (ref == "amp") out += '&';
      else if (ref == "quot") out += '"';
      else if (ref == "apos") out += '\'';
      else if (ref.size() > 1 && ref[0] == '#') {
        bool hex = ref[1] == 'x' || ref[1] == 'X';
        std::string_view digits = ref.substr(hex ? 2 : 1);
        std::uint32_t cp = 0;
        if (digits.empty() || digits.size() > 8) return bad("bad character reference");
        for (char c : digits) {
          int d = c >= '0' && c <= '9'                  ? c - '0'
                  : hex && c >= 'a' && c <= 'f'         ? c - 'a' + 10
                  : hex && c >= 'A' && c <= 'F'         ? c - 'A' + 10
                                                        : -1;
          if (d < 0) return bad("bad character reference");
          cp = cp * (hex ? 16 : 10) + d;
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
          return bad("bad character reference");
        append_utf8(out, cp);
      } else {
        return bad("unknown entity reference");
      }
      i = end;
    }
    return true;
  }

  bool element(XmlNode &node) {
    if (++depth_ > 200) return bad("elements nested too deeply");
    ++pos_;  // '<'
    node.name = name();
    if (node.name.empty()) return bad("element name expected");
    while (true) {
      skip_space();
      if (pos_ >= s_.size()) return bad("unterminated start tag");
      if (starts("/>")) {
        pos_ += 2;
        --depth_;
        return true;
      }
      if (s_[pos_] == '>') {
        ++pos_;
        break;
      }
      std::string key = name();
      if (key.empty()) return bad("attribute name expected");
      skip_space();
      if (pos_ >= s_.size() || s_[pos_] != '=') return bad("'=' expected after attribute name");
      ++pos_;
      skip_space();
      if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\''))
        return bad("quoted attribute value expected");
      char quote = s_[pos_++];
      size_t end = s_.find(quote, pos_);
      if (end == std::string_view::npos) return bad("unterminated attribute value");
      std::string_view raw = s_.substr(pos_, end - pos_);
      if (raw.find('<') != std::string_view::npos) return bad("'<' in attribute value");
      std::string value;
      if (!decode(raw, value)) return false;
      if (node.attribute(key) != nullptr) return bad("duplicate attribute");
      node.attributes.emplace_back(std::move(key), std::move(value));
      pos_ = end + 1;
    }
    std::string text;
    while (true) {
      size_t lt = s_.find('<', pos_);
      if (lt == std::string_view::npos) return bad("unterminated element");
      if (!decode(s_.substr(pos_, lt - pos_), text)) return false;
      pos_ = lt;
      if (starts("<!--")) {
        size_t end = s_.find("-->", pos_);
        if (end == std::string_view::npos) return bad("unterminated comment");
        XmlNode &c = node.children.emplace_back();
        c.is_comment = true;
        c.name = s_.substr(pos_ + 4, end - pos_ - 4);
        pos_ = end + 3;
      } else if (starts("<![CDATA[")) {
        size_t end = s_.find("]]>", pos_);
        if (end == std::string_view::npos) return bad("unterminated CDATA section");
        text += s_.substr(pos_ + 9, end - pos_ - 9);
        pos_ = end + 3;
      } else if (starts("</")) {
        pos_ += 2;
        if (name() != node.name) return bad("mismatched end tag");
        skip_space();
        if (pos_ >= s_.size() || s_[pos_] != '>') return bad("'>' expected");
        ++pos_;
        break;
      } else {
        if (!element(node.children.emplace_back())) return false;
      }
    }
    size_t b = text.find_first_not_of(" \t\r\n"), e = text.find_last_not_of(" \t\r\n");
    node.text = b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
    --depth_;
    return true;
  }
};

void escape(std::string &out, std::string_view value, bool in_attribute) {
  for (char c : value) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += in_attribute ? "&quot;" : "\""; break;
      case '\t': out += in_attribute ? "&#9;" : "\t"; break;
      case '\n': out += in_attribute ? "&#10;" : "\n"; break;
      case '\r': out += "&#13;"; break;
      default: out += c;
    }
  }
}

void write_node(std::string &out, const XmlNode &node, int depth) {
  out.append(depth, '\t');
  if (node.is_comment) {
    out += "<!--" + node.name + "-->\n";
    return;
  }
  out += '<' + node.name;
  for (const auto &[k, v] : node.attributes) {
    out += ' ' + k + "=\"";
    escape(out, v, true);
    out += '"';
  }
  if (node.children.empty() && node.text.empty()) {
    out += " />\n";
    return;
  }
  out += '>';
  if (node.children.empty()) {
    escape(out, node.text, false);
  } else {
    out += '\n';
    if (!node.text.empty()) {
      out.append(depth + 1, '\t');
      escape(out, node.text, false);
      out += '\n';
    }
    for (const auto &c : node.children) write_node(out, c, depth + 1);
    out.append(depth, '\t');
  }
  out += "</" + node.name + ">\n";
}

}  // namespace

bool parse_xml(std::string_view text, XmlNode &root, std::string &error) {
  root = XmlNode{};
  return Parser(text).parse(root, error);
}

std::string write_xml(const XmlNode &root) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  write_node(out, root, 0);
  return out;
}

}  // namespace iisadmin
