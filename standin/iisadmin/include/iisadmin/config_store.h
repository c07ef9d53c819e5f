// The web server's configuration store: an applicationHost-style XML file
// (sites, application pools, modules, handlers, sections at the APPHOST
// level and per <location> path) plus the web.config of each site's root
// directory. Sections are read at a configuration path such as
// "MACHINE/WEBROOT/APPHOST/Site" with the levels merged from the least to
// the most specific: APPHOST, its <location> entries for the path (shorter
// paths first), then the site's web.config and its <location> entries.
// Errors are HRESULT values as the administration API reports them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "iisadmin/drive_map.h"
#include "iisadmin/xml.h"

namespace iisadmin {

using HResult = std::int32_t;
constexpr HResult hresult(std::uint32_t v) { return static_cast<HResult>(v); }
constexpr HResult kOk = 0;
constexpr HResult kFileNotFound = hresult(0x80070002);    // configuration file missing
constexpr HResult kPathNotFound = hresult(0x80070003);    // configuration path names no site
constexpr HResult kInvalidData = hresult(0x8007000D);     // malformed or invalid file
constexpr HResult kInvalidArgument = hresult(0x80070057);
constexpr HResult kAlreadyExists = hresult(0x800700B7);   // duplicate collection key
constexpr HResult kNotFound = hresult(0x80070490);        // section or item not found
constexpr HResult kInvalidIndex = hresult(0x80070585);    // attribute not in the schema
constexpr HResult kWriteFault = hresult(0x8007001D);      // a file could not be written

constexpr std::string_view kApphostPath = "MACHINE/WEBROOT/APPHOST";

enum class AttributeType { kString, kUint, kBool };

struct AttributeSchema {
  std::string name;
  AttributeType type = AttributeType::kString;
  std::string default_value;
  bool is_key = false;
};

struct ElementSchema {
  std::string name;
  std::vector<AttributeSchema> attributes;
  std::vector<ElementSchema> children;  // fixed child elements
  std::string add_name;                 // non-empty: the element holds a collection
  std::vector<ElementSchema> item;      // the collection item's schema (one entry)

  const AttributeSchema *find_attribute(std::string_view n) const;
  const ElementSchema *find_child(std::string_view n) const;
};

// The text with each %NAME% replaced by that environment variable (kept
// as written when the variable is unset), as physical paths are written.
std::filesystem::path expand_environment(std::string_view text);

// The schema of a section such as "tavrin/settings"; nullptr when unknown.
const ElementSchema *section_schema(std::string_view section);

// A section, child element or collection item as merged for one
// configuration path. Values are plain copies: the element stays valid
// after the store changes.
class Element {
 public:
  const ElementSchema *schema() const { return schema_; }
  const std::string &name() const { return schema_->name; }
  // S_OK with the value (or the schema default, "" when none) for a
  // declared attribute; kInvalidIndex for an undeclared one.
  HResult get(std::string_view attribute, std::string &value) const;
  // The value, or "" for unset and undeclared attributes.
  std::string value(std::string_view attribute) const;
  bool is_set(std::string_view attribute) const { return values_.count(std::string(attribute)) > 0; }
  // A fixed child element; nullptr when the schema declares none of that name.
  const Element *child(std::string_view child_name) const;
  const std::vector<Element> &items() const { return items_; }
  // The first item whose key attributes match (exact compare), or nullptr.
  const Element *find_item(std::string_view key_value) const;

 private:
  friend class Merger;
  const ElementSchema *schema_ = nullptr;
  std::map<std::string, std::string> values_;
  std::vector<Element> children_;
  std::vector<Element> items_;
  XmlNode source_;  // collection items only: the node the item came from
};

class SectionEditor;

class ConfigStore {
 public:
  // Loads the applicationHost-style file. kFileNotFound when it is missing,
  // kInvalidData when it is malformed (error holds the reason).
  HResult load(const std::filesystem::path &apphost_file, std::string *error = nullptr);

  // The merged section at a configuration path. kNotFound for a section
  // that is not declared there (or has no schema), kPathNotFound for a path
  // naming no site, kInvalidData for invalid content (error holds why).
  HResult get_section(std::string_view section, std::string_view config_path, Element &out,
                      std::string *error = nullptr) const;

  // Opens a section for writing at config_path into the file that
  // commit_path names: the APPHOST file (under <location path="..."> when
  // config_path is deeper) or a site's web.config. Changes stay in memory
  // until commit().
  HResult edit_section(std::string_view section, std::string_view config_path,
                       std::string_view commit_path, SectionEditor &out,
                       std::string *error = nullptr);

  // Writes every changed file (atomically, through a temporary file).
  HResult commit(std::string *error = nullptr);

  const std::filesystem::path &apphost_file() const { return apphost_file_; }
  // Drive paths of physical paths read through this map from now on.
  void set_drive_map(DriveMap drives);
  // A physical path as written: environment variables (%NAME%) expanded,
  // a drive path of a mapped drive read as its local path.
  std::filesystem::path physical_path(std::string_view text) const;
  // The physical directory of a site's root virtual directory; empty when
  // the site is unknown.
  std::filesystem::path site_root(std::string_view site_name) const;

 private:
  friend class SectionEditor;
  struct File {
    std::filesystem::path path;
    XmlNode root;
    bool exists = false;
    bool dirty = false;
    std::filesystem::file_time_type stamp{};
  };
  struct PathInfo {
    std::string site;                 // "" for the APPHOST level
    std::vector<std::string> below;   // segments below the site
  };

  HResult parse_path(std::string_view config_path, PathInfo &info, std::string *error) const;
  HResult web_config(const std::filesystem::path &dir, bool create, File *&out,
                     std::string *error) const;
  HResult collect_layers(std::string_view section, const PathInfo &info,
                         std::vector<const XmlNode *> &layers, std::string *error) const;
  HResult get_section_locked(std::string_view section, std::string_view config_path,
                             Element &out, std::string *error) const;
  std::filesystem::path site_root_locked(std::string_view site_name) const;

  // Readers run on many threads at once (one per request in the host).
  mutable std::mutex mutex_;

  std::filesystem::path apphost_file_;
  DriveMap drives_;
  File apphost_;
  // web.config files by path, read on first use; mutable: a cache.
  mutable std::map<std::filesystem::path, std::unique_ptr<File>> web_configs_;
};

// Writes to one section at one level. Collections are edited as the level's
// delta over what it inherits: appended items are <add> entries, removing
// an inherited item writes a <remove>, and inserting before inherited items
// rewrites the level's list as <clear/> plus the full list.
class SectionEditor {
 public:
  // Sets an attribute of the section (or, with a child name, of that fixed
  // child element); kInvalidIndex when the schema does not declare it.
  HResult set(std::string_view attribute, std::string_view value);
  HResult set_child(std::string_view child, std::string_view attribute, std::string_view value);
  // The merged view of the section as it stands with the edits so far.
  HResult view(Element &out) const;

  // Collection edits on the section itself. `attributes` are the new item's
  // values; position -1 appends.
  HResult add_item(const std::vector<std::pair<std::string, std::string>> &attributes,
                   int position = -1);
  HResult remove_item(std::string_view key_value);
  HResult clear_items();
  // The XML node of a local collection item (to build nested content such
  // as a site's applications and bindings); nullptr when the item is not
  // defined at this level.
  XmlNode *local_item(std::string_view key_value);

 private:
  friend class ConfigStore;
  ConfigStore *store_ = nullptr;
  ConfigStore::File *file_ = nullptr;
  std::vector<std::string> node_path_;  // element names from the file's root
  std::string location_;                // "" or the <location path> used
  std::string section_;
  std::string config_path_;
  const ElementSchema *schema_ = nullptr;

  XmlNode &node();
};

}  // namespace iisadmin
