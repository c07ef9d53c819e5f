// The built-in section schemas: what each section, child element and
// collection item may hold, with defaults. Attributes not declared here
// are rejected when read from a file and answer kInvalidIndex when asked
// for by name.
#include <initializer_list>

#include "iisadmin/config_store.h"

namespace iisadmin {

const AttributeSchema *ElementSchema::find_attribute(std::string_view n) const {
  for (const auto &a : attributes)
    if (a.name == n) return &a;
  return nullptr;
}

const ElementSchema *ElementSchema::find_child(std::string_view n) const {
  for (const auto &c : children)
    if (c.name == n) return &c;
  return nullptr;
}

namespace {

AttributeSchema key(std::string name) { return {std::move(name), AttributeType::kString, "", true}; }
AttributeSchema text(std::string name, std::string def = "") {
  return {std::move(name), AttributeType::kString, std::move(def), false};
}
AttributeSchema uint(std::string name, std::string def = "0") {
  return {std::move(name), AttributeType::kUint, std::move(def), false};
}
AttributeSchema flag(std::string name, std::string def) {
  return {std::move(name), AttributeType::kBool, std::move(def), false};
}

ElementSchema element(std::string name, std::vector<AttributeSchema> attributes,
                      std::vector<ElementSchema> children = {}) {
  ElementSchema e;
  e.name = std::move(name);
  e.attributes = std::move(attributes);
  e.children = std::move(children);
  return e;
}

ElementSchema collection(ElementSchema e, std::string add_name, ElementSchema item) {
  e.add_name = std::move(add_name);
  item.name = e.add_name;
  e.item.push_back(std::move(item));
  return e;
}

ElementSchema sites_schema() {
  ElementSchema virtual_directory =
      element("virtualDirectory", {key("path"), text("physicalPath"), text("userName"),
                                   text("password"), text("logonMethod", "ClearText")});
  ElementSchema application = collection(
      element("application", {key("path"), text("applicationPool"),
                              text("enabledProtocols", "http"), flag("preloadEnabled", "false")}),
      "virtualDirectory", virtual_directory);
  ElementSchema bindings = collection(
      element("bindings", {}), "binding",
      element("binding", {key("protocol"), key("bindingInformation"), uint("sslFlags")}));
  // The request log of a site, or of every site that sets none (siteDefaults).
  ElementSchema log_file =
      element("logFile", {text("directory"), text("logFormat", "W3C"), text("period", "Daily"),
                          flag("enabled", "true"), flag("localTimeRollover", "false")});
  ElementSchema site = collection(
      element("site", {key("name"), uint("id"), flag("serverAutoStart", "true")},
              {bindings, log_file}),
      "application", application);
  return collection(element("sites", {}, {element("siteDefaults", {}, {log_file})}), "site",
                    site);
}

ElementSchema application_pools_schema() {
  ElementSchema process_model =
      element("processModel", {text("identityType", "ApplicationPoolIdentity"), text("userName"),
                               text("password"), flag("loadUserProfile", "true"),
                               uint("maxProcesses", "1"), text("idleTimeout", "00:20:00")});
  ElementSchema pool = element(
      "add",
      {key("name"), text("managedRuntimeVersion", "v4.0"),
       text("managedPipelineMode", "Integrated"), flag("enable32BitAppOnWin64", "false"),
       flag("autoStart", "true"), uint("queueLength", "1000"), text("startMode", "OnDemand")},
      {process_model});
  return collection(element("applicationPools", {}), "add", pool);
}

std::map<std::string, ElementSchema, std::less<>> build_sections() {
  std::map<std::string, ElementSchema, std::less<>> s;
  s["system.applicationHost/sites"] = sites_schema();
  s["system.applicationHost/applicationPools"] = application_pools_schema();
  s["system.webServer/globalModules"] =
      collection(element("globalModules", {}), "add",
                 element("add", {key("name"), text("image"), text("preCondition")}));
  s["system.webServer/modules"] = collection(
      element("modules", {flag("runAllManagedModulesForAllRequests", "false")}), "add",
      element("add", {key("name"), text("type"), text("preCondition")}));
  s["system.webServer/handlers"] = collection(
      element("handlers", {text("accessPolicy", "Read, Script")}), "add",
      element("add", {key("name"), text("path"), text("verb"), text("modules"),
                      text("scriptProcessor"), text("type"), text("resourceType", "Unspecified"),
                      text("requireAccess", "Script"), text("preCondition"),
                      flag("allowPathInfo", "false")}));
  s["system.webServer/directoryBrowse"] =
      element("directoryBrowse", {flag("enabled", "false"), text("showFlags")});
  s["system.webServer/security/requestFiltering"] =
      element("requestFiltering",
              {flag("allowDoubleEscaping", "false"), flag("allowHighBitCharacters", "true")},
              {element("requestLimits", {uint("maxAllowedContentLength", "30000000"),
                                         uint("maxUrl", "4096"), uint("maxQueryString", "2048")})});
  s["tavrin/settings"] =
      element("settings", {text("temp_directory"), text("odbc_connection_string"),
                           text("support_mode")});
  return s;
}

}  // namespace

const ElementSchema *section_schema(std::string_view section) {
  static const auto sections = build_sections();
  auto it = sections.find(section);
  return it == sections.end() ? nullptr : &it->second;
}

}  // namespace iisadmin
