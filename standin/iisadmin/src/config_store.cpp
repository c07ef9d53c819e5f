#include "iisadmin/config_store.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace iisadmin {

namespace fs = std::filesystem;

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

void set_error(std::string *error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// Sections of the server itself are declared by the server; others (such
// as "tavrin/settings") only by a <configSections> entry.
bool declared_by_server(std::string_view section) { return section.substr(0, 7) == "system."; }

// Attributes that control locking and file mapping rather than carry values.
bool is_meta_attribute(std::string_view name) {
  return name.substr(0, 4) == "lock" || name == "overrideMode" || name.substr(0, 5) == "xmlns" ||
         name == "configSource";
}

const XmlNode *find_path(const XmlNode *node, const std::vector<std::string> &names) {
  for (const auto &n : names) {
    if (node == nullptr) return nullptr;
    node = node->child(n);
  }
  return node;
}

void collect_declarations(const XmlNode &group, const std::string &prefix,
                          std::set<std::string> &out) {
  for (const auto &c : group.children) {
    if (c.is_comment) continue;
    const std::string *name = c.attribute("name");
    if (name == nullptr) continue;
    if (c.name == "section") out.insert(prefix + *name);
    else if (c.name == "sectionGroup") collect_declarations(c, prefix + *name + "/", out);
  }
}

std::set<std::string> declarations(const XmlNode &root) {
  std::set<std::string> out;
  if (const XmlNode *sections = root.child("configSections"))
    collect_declarations(*sections, "", out);
  return out;
}

std::string item_key(const ElementSchema &schema, const XmlNode &node) {
  std::string key;
  for (const auto &a : schema.attributes)
    if (a.is_key) {
      const std::string *v = node.attribute(a.name);
      key += (v != nullptr ? *v : std::string()) + '\x1f';
    }
  return key;
}

const AttributeSchema *first_key(const ElementSchema &schema) {
  for (const auto &a : schema.attributes)
    if (a.is_key) return &a;
  return nullptr;
}

}  // namespace

fs::path expand_environment(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string_view::npos;
    if (end == std::string_view::npos) {
      out += text[i];
      continue;
    }
    std::string name(text.substr(i + 1, end - i - 1));
    const char *value = std::getenv(name.c_str());
    out += value != nullptr ? std::string(value) : "%" + name + "%";
    i = end;
  }
  return fs::path(out);
}

// Builds merged Elements from the section nodes of each level.
class Merger {
 public:
  static HResult merge(const ElementSchema &schema, const std::vector<const XmlNode *> &nodes,
                       Element &out, std::string *error) {
    out.schema_ = &schema;
    for (const XmlNode *node : nodes) {
      if (node == nullptr) continue;
      for (const auto &[k, v] : node->attributes) {
        if (schema.find_attribute(k) != nullptr) out.values_[k] = v;
        else if (!is_meta_attribute(k)) {
          set_error(error, "unrecognized attribute '" + k + "' in <" + node->name + ">");
          return kInvalidData;
        }
      }
    }
    for (const auto &child_schema : schema.children) {
      std::vector<const XmlNode *> child_nodes;
      for (const XmlNode *node : nodes)
        if (node != nullptr) child_nodes.push_back(node->child(child_schema.name));
      Element &child = out.children_.emplace_back();
      if (HResult hr = merge(child_schema, child_nodes, child, error); hr != kOk) return hr;
    }
    return merge_collection(schema, nodes, out, error);
  }

 private:
  static HResult merge_collection(const ElementSchema &schema,
                                  const std::vector<const XmlNode *> &nodes, Element &out,
                                  std::string *error) {
    std::vector<std::string> keys;
    for (const XmlNode *node : nodes) {
      if (node == nullptr) continue;
      for (const auto &c : node->children) {
        if (c.is_comment || schema.find_child(c.name) != nullptr) continue;
        if (schema.add_name.empty()) {
          set_error(error, "unrecognized element <" + c.name + "> in <" + node->name + ">");
          return kInvalidData;
        }
        const ElementSchema &item_schema = schema.item.front();
        if (c.name == schema.add_name) {
          std::string key = item_key(item_schema, c);
          if (first_key(item_schema) != nullptr &&
              std::find(keys.begin(), keys.end(), key) != keys.end()) {
            set_error(error, "duplicate collection entry <" + c.name + "> in <" + node->name + ">");
            return kAlreadyExists;
          }
          Element &item = out.items_.emplace_back();
          if (HResult hr = merge(item_schema, {&c}, item, error); hr != kOk) return hr;
          item.source_ = c;
          keys.push_back(std::move(key));
        } else if (c.name == "remove") {
          for (size_t i = 0; i < keys.size();) {
            bool match = true;
            for (const auto &[k, v] : c.attributes)
              if (item_schema.find_attribute(k) != nullptr && out.items_[i].value(k) != v)
                match = false;
            if (match) {
              out.items_.erase(out.items_.begin() + static_cast<long>(i));
              keys.erase(keys.begin() + static_cast<long>(i));
            } else {
              ++i;
            }
          }
        } else if (c.name == "clear") {
          out.items_.clear();
          keys.clear();
        } else {
          set_error(error, "unrecognized element <" + c.name + "> in <" + node->name + ">");
          return kInvalidData;
        }
      }
    }
    return kOk;
  }

 public:
  static const XmlNode &source(const Element &e) { return e.source_; }
};

HResult Element::get(std::string_view attribute, std::string &value) const {
  const AttributeSchema *a = schema_ != nullptr ? schema_->find_attribute(attribute) : nullptr;
  if (a == nullptr) return kInvalidIndex;
  auto it = values_.find(std::string(attribute));
  value = it != values_.end() ? it->second : a->default_value;
  return kOk;
}

std::string Element::value(std::string_view attribute) const {
  std::string v;
  return get(attribute, v) == kOk ? v : std::string();
}

const Element *Element::child(std::string_view child_name) const {
  for (const auto &c : children_)
    if (c.name() == child_name) return &c;
  return nullptr;
}

const Element *Element::find_item(std::string_view key_value) const {
  if (schema_ == nullptr || schema_->item.empty()) return nullptr;
  const AttributeSchema *k = first_key(schema_->item.front());
  if (k == nullptr) return nullptr;
  for (const auto &item : items_)
    if (item.value(k->name) == key_value) return &item;
  return nullptr;
}

namespace {

HResult read_file(const fs::path &path, XmlNode &root, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    set_error(error, "cannot read " + path.string());
    return kFileNotFound;
  }
  std::stringstream content;
  content << in.rdbuf();
  std::string parse_error;
  if (!parse_xml(content.str(), root, parse_error)) {
    set_error(error, path.string() + ": " + parse_error);
    return kInvalidData;
  }
  if (root.name != "configuration") {
    set_error(error, path.string() + ": the root element is not <configuration>");
    return kInvalidData;
  }
  return kOk;
}

}  // namespace

HResult ConfigStore::load(const fs::path &apphost_file, std::string *error) {
  std::lock_guard lock(mutex_);
  apphost_file_ = apphost_file;
  web_configs_.clear();
  apphost_ = File{};
  apphost_.path = apphost_file;
  std::error_code ec;
  if (!fs::is_regular_file(apphost_file, ec)) {
    set_error(error, "configuration file not found: " + apphost_file.string());
    return kFileNotFound;
  }
  HResult hr = read_file(apphost_file, apphost_.root, error);
  apphost_.exists = hr == kOk;
  return hr;
}

HResult ConfigStore::parse_path(std::string_view config_path, PathInfo &info,
                                std::string *error) const {
  info = PathInfo{};
  if (config_path.size() < kApphostPath.size() ||
      !iequals(config_path.substr(0, kApphostPath.size()), kApphostPath) ||
      (config_path.size() > kApphostPath.size() && config_path[kApphostPath.size()] != '/')) {
    set_error(error, "not a configuration path: " + std::string(config_path));
    return kPathNotFound;
  }
  std::vector<std::string> parts = split(config_path.substr(kApphostPath.size()), '/');
  if (parts.empty()) return kOk;
  Element sites;
  if (HResult hr = get_section_locked("system.applicationHost/sites", {}, sites, error); hr != kOk)
    return hr;
  for (const auto &site : sites.items())
    if (iequals(site.value("name"), parts[0])) info.site = site.value("name");
  if (info.site.empty()) {
    set_error(error, "no site named '" + parts[0] + "'");
    return kPathNotFound;
  }
  info.below.assign(parts.begin() + 1, parts.end());
  return kOk;
}

fs::path ConfigStore::site_root_locked(std::string_view site_name) const {
  Element sites;
  if (get_section_locked("system.applicationHost/sites", {}, sites, nullptr) != kOk) return {};
  for (const auto &site : sites.items()) {
    if (!iequals(site.value("name"), site_name)) continue;
    const Element *app = site.find_item("/");
    if (app == nullptr && !site.items().empty()) app = &site.items().front();
    if (app == nullptr) return {};
    const Element *dir = app->find_item("/");
    if (dir == nullptr && !app->items().empty()) dir = &app->items().front();
    return dir == nullptr ? fs::path() : physical_path(dir->value("physicalPath"));
  }
  return {};
}

void ConfigStore::set_drive_map(DriveMap drives) {
  std::lock_guard lock(mutex_);
  drives_ = std::move(drives);
  web_configs_.clear();
}

fs::path ConfigStore::physical_path(std::string_view text) const {
  fs::path expanded = expand_environment(text);
  std::optional<fs::path> local = drives_.resolve(expanded.string());
  return local ? *local : expanded;
}

fs::path ConfigStore::site_root(std::string_view site_name) const {
  std::lock_guard lock(mutex_);
  return site_root_locked(site_name);
}

HResult ConfigStore::web_config(const fs::path &dir, bool create, File *&out,
                                std::string *error) const {
  out = nullptr;
  if (dir.empty()) return kOk;
  fs::path path = dir / "web.config";
  std::error_code ec;
  bool on_disk = fs::is_regular_file(path, ec);
  auto it = web_configs_.find(path);
  if (it != web_configs_.end()) {
    File &f = *it->second;
    // Follow changes made by others unless this store holds edits.
    auto stamp = on_disk ? fs::last_write_time(path, ec) : fs::file_time_type{};
    if (!f.dirty && (f.exists != on_disk || f.stamp != stamp)) {
      web_configs_.erase(it);
    } else {
      out = &f;
      return kOk;
    }
  }
  if (!on_disk && !create) return kOk;
  auto file = std::make_unique<File>();
  file->path = path;
  if (on_disk) {
    file->stamp = fs::last_write_time(path, ec);
    if (HResult hr = read_file(path, file->root, error); hr != kOk) return hr;
    file->exists = true;
  } else {
    file->root.name = "configuration";
  }
  out = file.get();
  web_configs_[path] = std::move(file);
  return kOk;
}

HResult ConfigStore::collect_layers(std::string_view section, const PathInfo &info,
                                    std::vector<const XmlNode *> &layers,
                                    std::string *error) const {
  std::vector<std::string> section_names = split(section, '/');
  std::set<std::string> declared = declarations(apphost_.root);
  bool server_section = declared_by_server(section);

  auto add_file = [&](const XmlNode &root, const std::string &file_name,
                      const std::vector<std::string> &below) -> HResult {
    auto more = declarations(root);
    declared.insert(more.begin(), more.end());
    bool is_declared = server_section || declared.count(std::string(section)) > 0;
    // (segment count, node): <location> entries apply from the shortest
    // path to the longest, after the file's own top level.
    std::vector<std::pair<size_t, const XmlNode *>> found;
    if (const XmlNode *n = find_path(&root, section_names)) found.emplace_back(0, n);
    for (const auto &c : root.children) {
      if (c.is_comment || c.name != "location") continue;
      const std::string *p = c.attribute("path");
      std::vector<std::string> segments = split(p != nullptr ? *p : std::string(), '/');
      if (segments.size() == 1 && segments[0] == ".") segments.clear();
      if (segments.size() > below.size()) continue;
      bool match = true;
      for (size_t i = 0; i < segments.size(); ++i) match = match && iequals(segments[i], below[i]);
      if (!match) continue;
      if (const XmlNode *n = find_path(&c, section_names)) found.emplace_back(segments.size(), n);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    if (!found.empty() && !is_declared) {
      set_error(error, file_name + ": section '" + std::string(section) + "' is not declared");
      return kInvalidData;
    }
    for (const auto &f : found) layers.push_back(f.second);
    return kOk;
  };

  // The APPHOST file sees the site as the first segment of a location path.
  std::vector<std::string> apphost_below;
  if (!info.site.empty()) {
    apphost_below.push_back(info.site);
    apphost_below.insert(apphost_below.end(), info.below.begin(), info.below.end());
  }
  if (HResult hr = add_file(apphost_.root, apphost_.path.string(), apphost_below); hr != kOk)
    return hr;
  if (!info.site.empty()) {
    fs::path dir = site_root_locked(info.site);
    for (size_t depth = 0; depth <= info.below.size() && !dir.empty(); ++depth) {
      File *file = nullptr;
      if (HResult hr = web_config(dir, false, file, error); hr != kOk) return hr;
      if (file != nullptr) {
        std::vector<std::string> rest(info.below.begin() + static_cast<long>(depth),
                                      info.below.end());
        if (HResult hr = add_file(file->root, file->path.string(), rest); hr != kOk) return hr;
      }
      if (depth < info.below.size()) dir /= info.below[depth];
    }
  }
  if (!server_section && declared.count(std::string(section)) == 0) {
    set_error(error, "section '" + std::string(section) + "' is not declared");
    return kNotFound;
  }
  return kOk;
}

HResult ConfigStore::get_section_locked(std::string_view section, std::string_view config_path,
                                        Element &out, std::string *error) const {
  const ElementSchema *schema = section_schema(section);
  if (schema == nullptr) {
    set_error(error, "unknown section '" + std::string(section) + "'");
    return kNotFound;
  }
  PathInfo info;
  if (!config_path.empty())
    if (HResult hr = parse_path(config_path, info, error); hr != kOk) return hr;
  std::vector<const XmlNode *> layers;
  if (HResult hr = collect_layers(section, info, layers, error); hr != kOk) return hr;
  out = Element{};
  return Merger::merge(*schema, layers, out, error);
}

HResult ConfigStore::get_section(std::string_view section, std::string_view config_path,
                                 Element &out, std::string *error) const {
  std::lock_guard lock(mutex_);
  if (!apphost_.exists) {
    set_error(error, "no configuration loaded");
    return kFileNotFound;
  }
  return get_section_locked(section, config_path.empty() ? kApphostPath : config_path, out,
                            error);
}

HResult ConfigStore::edit_section(std::string_view section, std::string_view config_path,
                                  std::string_view commit_path, SectionEditor &out,
                                  std::string *error) {
  std::lock_guard lock(mutex_);
  if (!apphost_.exists) {
    set_error(error, "no configuration loaded");
    return kFileNotFound;
  }
  const ElementSchema *schema = section_schema(section);
  if (schema == nullptr) {
    set_error(error, "unknown section '" + std::string(section) + "'");
    return kNotFound;
  }
  PathInfo config, commit;
  if (HResult hr = parse_path(config_path, config, error); hr != kOk) return hr;
  if (HResult hr = parse_path(commit_path, commit, error); hr != kOk) return hr;
  bool commit_is_prefix = commit.site.empty() ||
                          (commit.site == config.site && commit.below.size() <= config.below.size());
  for (size_t i = 0; commit_is_prefix && i < commit.below.size(); ++i)
    commit_is_prefix = iequals(commit.below[i], config.below[i]);
  if (!commit_is_prefix) {
    set_error(error, "the commit path is not at or above the configuration path");
    return kInvalidArgument;
  }
  out = SectionEditor{};
  out.store_ = this;
  out.section_ = section;
  out.config_path_ = config_path;
  out.schema_ = schema;
  out.node_path_ = split(section, '/');
  std::vector<std::string> rest;
  if (commit.site.empty()) {
    out.file_ = &apphost_;
    if (!config.site.empty()) rest.push_back(config.site);
  } else {
    fs::path dir = site_root_locked(commit.site);
    for (const auto &segment : commit.below) dir /= segment;
    if (HResult hr = web_config(dir, true, out.file_, error); hr != kOk) return hr;
    if (out.file_ == nullptr) {
      set_error(error, "the site has no physical path");
      return kPathNotFound;
    }
  }
  rest.insert(rest.end(), config.below.begin() + static_cast<long>(commit.below.size()),
              config.below.end());
  for (const auto &segment : rest) out.location_ += (out.location_.empty() ? "" : "/") + segment;
  if (!declared_by_server(section)) {
    std::set<std::string> declared = declarations(apphost_.root);
    auto own = declarations(out.file_->root);
    declared.insert(own.begin(), own.end());
    if (declared.count(std::string(section)) == 0) {
      set_error(error, "section '" + std::string(section) + "' is not declared");
      return kNotFound;
    }
  }
  return kOk;
}

HResult ConfigStore::commit(std::string *error) {
  std::lock_guard lock(mutex_);
  std::vector<File *> files{&apphost_};
  for (auto &[path, file] : web_configs_) files.push_back(file.get());
  for (File *f : files) {
    if (!f->dirty) continue;
    fs::path temporary = f->path;
    temporary += ".tmp";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << write_xml(f->root);
      out.close();
      if (!out) {
        set_error(error, "cannot write " + temporary.string());
        return kWriteFault;
      }
    }
    std::error_code ec;
    fs::rename(temporary, f->path, ec);
    if (ec) {
      fs::remove(temporary, ec);
      set_error(error, "cannot replace " + f->path.string());
      return kWriteFault;
    }
    f->dirty = false;
    f->exists = true;
    f->stamp = fs::last_write_time(f->path, ec);
  }
  return kOk;
}

XmlNode &SectionEditor::node() {
  file_->dirty = true;
  XmlNode *n = &file_->root;
  if (!location_.empty()) {
    XmlNode *found = nullptr;
    for (auto &c : n->children) {
      const std::string *p = c.is_comment || c.name != "location" ? nullptr : c.attribute("path");
      if (p != nullptr && iequals(*p, location_)) found = &c;
    }
    if (found == nullptr) {
      found = &n->children.emplace_back();
      found->name = "location";
      found->set_attribute("path", location_);
    }
    n = found;
  }
  for (const auto &name : node_path_) n = &n->child_or_add(name);
  return *n;
}

HResult SectionEditor::view(Element &out) const {
  return store_->get_section(section_, config_path_, out);
}

HResult SectionEditor::set(std::string_view attribute, std::string_view value) {
  if (schema_->find_attribute(attribute) == nullptr) return kInvalidIndex;
  node().set_attribute(attribute, value);
  return kOk;
}

HResult SectionEditor::set_child(std::string_view child, std::string_view attribute,
                                 std::string_view value) {
  const ElementSchema *c = schema_->find_child(child);
  if (c == nullptr || c->find_attribute(attribute) == nullptr) return kInvalidIndex;
  node().child_or_add(child).set_attribute(attribute, value);
  return kOk;
}

HResult SectionEditor::add_item(const std::vector<std::pair<std::string, std::string>> &attributes,
                                int position) {
  if (schema_->add_name.empty()) return kInvalidArgument;
  const ElementSchema &item_schema = schema_->item.front();
  XmlNode item;
  item.name = schema_->add_name;
  for (const auto &[k, v] : attributes) {
    if (item_schema.find_attribute(k) == nullptr) return kInvalidIndex;
    item.set_attribute(k, v);
  }
  Element merged;
  if (HResult hr = view(merged); hr != kOk) return hr;
  std::string key = item_key(item_schema, item);
  if (first_key(item_schema) != nullptr)
    for (const auto &existing : merged.items())
      if (item_key(item_schema, Merger::source(existing)) == key) return kAlreadyExists;
  XmlNode &n = node();
  if (position < 0 || static_cast<size_t>(position) >= merged.items().size()) {
    n.children.push_back(std::move(item));
    return kOk;
  }
  // Inserting before inherited items: this level takes over the whole list.
  n.children.remove_if([&](const XmlNode &c) {
    return !c.is_comment && (c.name == schema_->add_name || c.name == "remove" || c.name == "clear");
  });
  n.children.emplace_back().name = "clear";
  for (size_t i = 0; i < merged.items().size(); ++i) {
    if (i == static_cast<size_t>(position)) n.children.push_back(item);
    n.children.push_back(Merger::source(merged.items()[i]));
  }
  return kOk;
}

XmlNode *SectionEditor::local_item(std::string_view key_value) {
  if (schema_->add_name.empty()) return nullptr;
  const AttributeSchema *k = first_key(schema_->item.front());
  if (k == nullptr) return nullptr;
  XmlNode &n = node();
  for (auto &c : n.children) {
    if (c.is_comment || c.name != schema_->add_name) continue;
    const std::string *v = c.attribute(k->name);
    if (v != nullptr && *v == key_value) return &c;
  }
  return nullptr;
}

HResult SectionEditor::remove_item(std::string_view key_value) {
  if (schema_->add_name.empty()) return kInvalidArgument;
  const AttributeSchema *k = first_key(schema_->item.front());
  if (k == nullptr) return kInvalidArgument;
  if (XmlNode *local = local_item(key_value)) {
    XmlNode &n = node();
    n.children.remove_if([&](const XmlNode &c) { return &c == local; });
    return kOk;
  }
  Element merged;
  if (HResult hr = view(merged); hr != kOk) return hr;
  if (merged.find_item(key_value) == nullptr) return kNotFound;
  XmlNode &remove = node().children.emplace_back();
  remove.name = "remove";
  remove.set_attribute(k->name, key_value);
  return kOk;
}

HResult SectionEditor::clear_items() {
  if (schema_->add_name.empty()) return kInvalidArgument;
  XmlNode &n = node();
  n.children.remove_if([&](const XmlNode &c) {
    return !c.is_comment && (c.name == schema_->add_name || c.name == "remove" || c.name == "clear");
  });
  n.children.emplace_back().name = "clear";
  return kOk;
}

}  // namespace iisadmin
