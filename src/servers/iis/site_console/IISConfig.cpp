#include "IISConfig.h"

#include <array>

#include "Helpers.h"
#include "IISSite.h"

namespace IISConfig {

const wchar_t kApphostPath[] = L"MACHINE/WEBROOT/APPHOST";

namespace {

constexpr HRESULT kNoSuchAttribute = static_cast<HRESULT>(0x80070585);
const wchar_t kModuleName[] = L"tavrin";
const wchar_t kPreCondition[] = L"integratedMode,bitness64";

// A BSTR owned for the duration of one call.
class Bstr {
 public:
  explicit Bstr(const std::wstring &text)
      : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (b_ == nullptr) CHECK_HRESULT(E_OUTOFMEMORY);
  }
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;
  operator BSTR() const { return b_; }

 private:
  BSTR b_;
};

struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
};

void SetProperty(const Element &element, const std::wstring &name, const std::wstring &text) {
  SetStringValue(GetProperty(element, name), text);
}

void SetProperty(const Element &element, const std::wstring &name, std::uint32_t value) {
  SetUIntValue(GetProperty(element, name), value);
}

Element CreateHandler(const Element &handlers, const std::wstring &path, bool requireScript) {
  Element handler = CreateCollectionElement(handlers, L"");
  SetProperty(handler, L"name", path);
  SetProperty(handler, L"path", path);
  SetProperty(handler, L"preCondition", kPreCondition);
  SetProperty(handler, L"verb", L"*");
  SetProperty(handler, L"modules", kModuleName);
  if (requireScript) SetProperty(handler, L"requireAccess", L"Script");
  SetProperty(handler, L"resourceType", L"Unspecified");
  return handler;
}

// Removes the named item of a section at APPHOST when it is there.
void DeleteNamedItem(const std::wstring &section, const std::wstring &name) {
  Manager manager = CreateAdminManager(kApphostPath);
  Element items = GetAdminSection(manager, section, kApphostPath);
  if (CollectionContains(items, name)) DeleteCollectionElement(items, name);
  CommitChanges(manager);
}

}  // namespace

std::wstring SitePath(const std::wstring &siteName) {
  return std::wstring(kApphostPath) + L"/" + siteName;
}

Manager CreateAdminManager() {
  Manager manager;
  CHECK_HRESULT(CoCreateInstance(CLSID_AppHostAdminManager, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IAppHostAdminManager,
                                 reinterpret_cast<void **>(manager.put())));
  return manager;
}

Manager CreateAdminManager(const std::wstring &commitPath) {
  ComRef<IAppHostWritableAdminManager> writable;
  CHECK_HRESULT(CoCreateInstance(CLSID_AppHostWritableAdminManager, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IAppHostWritableAdminManager,
                                 reinterpret_cast<void **>(writable.put())));
  CHECK_HRESULT(writable->put_CommitPath(Bstr(commitPath)));
  IAppHostAdminManager *base = writable.get();
  base->AddRef();
  return Manager(base);
}

Element GetAdminSection(const Manager &manager, const std::wstring &section,
                        const std::wstring &path) {
  Element element;
  CHECK_HRESULT(manager->GetAdminSection(Bstr(section), Bstr(path), element.put()));
  return element;
}

void CommitChanges(const Manager &manager) {
  ComRef<IAppHostWritableAdminManager> writable;
  CHECK_HRESULT(manager->QueryInterface(IID_IAppHostWritableAdminManager,
                                        reinterpret_cast<void **>(writable.put())));
  CHECK_HRESULT(writable->CommitChanges());
}

Element GetChildElement(const Element &element, const std::wstring &childName) {
  Element child;
  CHECK_HRESULT(element->GetElementByName(Bstr(childName), child.put()));
  return child;
}

Collection GetCollection(const Element &element) {
  Collection collection;
  CHECK_HRESULT(element->get_Collection(collection.put()));
  return collection;
}

namespace {

Element ItemAt(const Collection &collection, std::uint32_t index) {
  Variant key;
  key.v.vt = VT_UI4;
  key.v.ulVal = index;
  Element item;
  CHECK_HRESULT(collection->get_Item(key.v, item.put()));
  return item;
}

DWORD CountOf(const Collection &collection) {
  DWORD count = 0;
  CHECK_HRESULT(collection->get_Count(&count));
  return count;
}

}  // namespace

Element GetCollectionItem(const Element &element, std::uint32_t index) {
  return ItemAt(GetCollection(element), index);
}

bool CollectionContains(const Element &element, const std::wstring &name) {
  Collection collection = GetCollection(element);
  DWORD count = CountOf(collection);
  for (DWORD i = 0; i < count; ++i)
    if (EqualsIgnoreCase(GetStringProperty(ItemAt(collection, i), L"name"), name)) return true;
  return false;
}

Element FindElementByName(const Element &element, const std::wstring &name) {
  Collection collection = GetCollection(element);
  DWORD count = CountOf(collection);
  for (DWORD i = 0; i < count; ++i) {
    Element item = ItemAt(collection, i);
    if (GetStringProperty(item, L"name") == name) return item;
  }
  throw QVS::ApplicationException(kErrorElementNotFound,
                                  L"Unable to find IIS config element with: name=" + name);
}

Element CreateCollectionElement(const Element &element, const std::wstring &elementName) {
  Element created;
  CHECK_HRESULT(GetCollection(element)->CreateNewElement(Bstr(elementName), created.put()));
  return created;
}

void AddCollectionElement(const Element &element, Element newElement, int position) {
  CHECK_HRESULT(GetCollection(element)->AddElement(newElement.get(), position));
}

void DeleteCollectionElement(const Element &element, const std::wstring &name) {
  Collection collection = GetCollection(element);
  Variant key;
  key.v.vt = VT_BSTR;
  key.v.bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
  if (key.v.bstrVal == nullptr) CHECK_HRESULT(E_OUTOFMEMORY);
  CHECK_HRESULT(collection->DeleteElement(key.v));
}

Property GetProperty(const Element &element, const std::wstring &attributeName) {
  Property property;
  CHECK_HRESULT(element->GetPropertyByName(Bstr(attributeName), property.put()));
  return property;
}

Property GetOptionalProperty(const Element &element) {
  Property property;
  HRESULT hr = element->GetPropertyByName(Bstr(L"sslFlags"), property.put());
  if (hr == kNoSuchAttribute) return Property();
  CHECK_HRESULT(hr);
  return property;
}

std::wstring GetStringValue(Property property, const std::wstring &attributeName) {
  Variant value;
  CHECK_HRESULT(property->get_Value(&value.v));
  if (value.v.vt != VT_BSTR)
    throw QVS::ApplicationException(
        kErrorPropertyType, L"IIS property value isn't of expected type 'string': " + attributeName);
  return value.v.bstrVal != nullptr ? std::wstring(value.v.bstrVal, SysStringLen(value.v.bstrVal))
                                    : std::wstring();
}

std::uint32_t GetUIntValue(Property property, const std::wstring &attributeName) {
  Variant value;
  CHECK_HRESULT(property->get_Value(&value.v));
  switch (value.v.vt) {
    case VT_UI1: return value.v.bVal;
    case VT_UI2: return value.v.uiVal;
    case VT_UI4: return value.v.ulVal;
    default:
      throw QVS::ApplicationException(
          kErrorPropertyType,
          L"IIS property value isn't of expected type 'unsigned int': " + attributeName);
  }
}

std::wstring GetStringProperty(const Element &element, const std::wstring &attributeName) {
  return GetStringValue(GetProperty(element, attributeName), attributeName);
}

void SetStringValue(Property property, const std::wstring &text) {
  Variant value;
  value.v.vt = VT_BSTR;
  value.v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (value.v.bstrVal == nullptr) CHECK_HRESULT(E_OUTOFMEMORY);
  CHECK_HRESULT(property->put_Value(value.v));
}

void SetUIntValue(Property property, std::uint32_t number) {
  Variant value;
  value.v.vt = VT_UI4;
  value.v.ulVal = number;
  CHECK_HRESULT(property->put_Value(value.v));
}

bool IsModuleSite(const Manager &manager, const std::wstring &sitePath) {
  try {
    Element handlers = GetAdminSection(manager, L"system.webServer/handlers", sitePath);
    for (const wchar_t *name : {L"/pull", L"/push", L"StaticFile"}) FindElementByName(handlers, name);
    FindElementByName(GetAdminSection(manager, L"system.webServer/modules", sitePath), kModuleName);
    return true;
  } catch (const QVS::BaseException &) {
    return false;
  }
}

std::uint32_t NextSiteId(const Element &sitesSection) {
  Collection sites = GetCollection(sitesSection);
  DWORD count = CountOf(sites);
  std::uint32_t largest = 0;
  for (DWORD i = 0; i < count; ++i) {
    std::uint32_t id = GetUIntValue(GetProperty(ItemAt(sites, i), L"id"), L"id");
    if (id > largest) largest = id;
  }
  return largest + 1;
}

void CreateAppPool(const Manager &manager, IISSite &site) {
  try {
    Element pools =
        GetAdminSection(manager, L"system.applicationHost/applicationPools", kApphostPath);
    std::wstring candidate = site.appPool;
    for (unsigned n = 1; CollectionContains(pools, candidate); ++n)
      candidate = site.appPool + std::to_wstring(n);
    site.appPool = candidate;
    Element pool = CreateCollectionElement(pools, L"");
    SetProperty(pool, L"name", site.appPool);
    SetProperty(pool, L"enable32BitAppOnWin64", L"False");
    SetProperty(pool, L"managedRuntimeVersion", L"");
    Element processModel = GetChildElement(pool, L"processModel");
    SetProperty(processModel, L"loadUserProfile", L"False");
    SetProperty(processModel, L"identityType", 4u);  // ApplicationPoolIdentity
    AddCollectionElement(pools, std::move(pool), -1);
  } catch (const QVS::BaseException &e) {
    throw QVS::ApplicationException(kErrorSiteCreation,
                                    L"Error Creating Application Pool: " + e.message);
  }
}

void CreateSite(const Manager &manager, const IISSite &site) {
  try {
    Element sites = GetAdminSection(manager, L"system.applicationHost/sites", kApphostPath);
    Element siteElement = CreateCollectionElement(sites, L"site");
    SetProperty(siteElement, L"name", site.name);
    SetProperty(siteElement, L"serverAutoStart", 1u);
    SetProperty(siteElement, L"id", NextSiteId(sites));

    Element application = CreateCollectionElement(siteElement, L"application");
    SetProperty(application, L"path", L"/");
    SetProperty(application, L"applicationPool", site.appPool);
    Element directory = CreateCollectionElement(application, L"virtualDirectory");
    SetProperty(directory, L"path", L"/");
    SetProperty(directory, L"physicalPath", site.webroot);
    AddCollectionElement(application, std::move(directory), -1);
    AddCollectionElement(siteElement, std::move(application), -1);
    AddCollectionElement(sites, siteElement, -1);

    Element bindings = GetChildElement(siteElement, L"bindings");
    Element binding = CreateCollectionElement(bindings, L"binding");
    SetProperty(binding, L"protocol", site.protocol);
    SetProperty(binding, L"bindingInformation", site.GetBindingInformation());
    if (Property sslFlags = GetOptionalProperty(binding))
      SetUIntValue(std::move(sslFlags),
                   static_cast<std::uint32_t>(std::wcstoul(site.sslFlags.c_str(), nullptr, 10)));
    AddCollectionElement(bindings, std::move(binding), -1);
    CommitChanges(manager);
  } catch (const QVS::BaseException &) {
    throw QVS::ApplicationException(kErrorSiteCreation, L"Error Creating IIS Site: " + site.name);
  }
}

void ConfigureSite(const IISSite &site) {
  try {
    std::wstring sitePath = SitePath(site.name);
    Manager manager = CreateAdminManager(sitePath);
    Element modules = GetAdminSection(manager, L"system.webServer/modules", sitePath);
    Element module = CreateCollectionElement(modules, L"");
    SetProperty(module, L"name", kModuleName);
    SetProperty(module, L"preCondition", kPreCondition);
    AddCollectionElement(modules, std::move(module), -1);

    Element handlers = GetAdminSection(manager, L"system.webServer/handlers", sitePath);
    AddCollectionElement(handlers, CreateHandler(handlers, L"/pull", false), 1);
    AddCollectionElement(handlers, CreateHandler(handlers, L"/push", true), 1);

    SetProperty(GetAdminSection(manager, L"system.webServer/directoryBrowse", sitePath),
                L"enabled", 0u);
    CommitChanges(manager);

    PruneHandlers(manager, sitePath);

    Element settings = GetAdminSection(manager, L"tavrin/settings", sitePath);
    SetProperty(settings, L"odbc_connection_string", site.odbcConnectionString);
    SetProperty(settings, L"temp_directory", site.tempDirectory);
    CommitChanges(manager);
  } catch (const QVS::BaseException &e) {
    ShowMessageBox(nullptr, e.message, kErrorBoxTitle, MB_ICONERROR);
    throw QVS::ApplicationException(kErrorSiteCreation, L"Error Configuring IIS Site: " + site.name);
  }
}

void PruneHandlers(const Manager &manager, const std::wstring &sitePath) {
  static const std::array<std::wstring, 5> kept = {L"/pull", L"/push", L"StaticFile",
                                                    L"OPTIONSVerbHandler", L"TRACEVerbHandler"};
  Element handlers = GetAdminSection(manager, L"system.webServer/handlers", sitePath);
  Collection collection = GetCollection(handlers);
  DWORD count = CountOf(collection);
  for (DWORD i = 0; i < count;) {
    std::wstring name = GetStringProperty(ItemAt(collection, i), L"name");
    bool keep = false;
    for (const auto &k : kept) keep = keep || name == k;
    if (keep) {
      ++i;
      continue;
    }
    Variant position;
    position.v.vt = VT_UI4;
    position.v.ulVal = i;
    CHECK_HRESULT(collection->DeleteElement(position.v));
    --count;
  }
  CommitChanges(manager);
}

void DeleteSite(const std::wstring &name) {
  DeleteNamedItem(L"system.applicationHost/sites", name);
}

void DeleteAppPool(const std::wstring &name) {
  DeleteNamedItem(L"system.applicationHost/applicationPools", name);
}

}  // namespace IISConfig
