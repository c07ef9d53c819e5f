// Admin managers, elements, collections and properties over ConfigStore.
//
// An element is backed in one of three ways:
// - a section opened by a manager: read through the store's merged view,
//   written through a SectionEditor (writable managers only);
// - an item or child read from a merged section: a read-only snapshot;
// - a node: an element made by CreateNewElement (detached until added to a
//   collection) or a node of the file it was added to, written in place.
#include "iisadmin/com_server.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "AppHostAdmin.h"
#include "iisadmin/config_store.h"

namespace iisadmin::com {

namespace {

std::atomic<long> g_objects{0};

std::wstring Widen(const std::string &utf8) {
  if (utf8.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

std::string Narrow(const wchar_t *text, size_t length) {
  if (length == 0) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                 nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                      nullptr);
  return out;
}

std::string Narrow(BSTR text) { return text != nullptr ? Narrow(text, SysStringLen(text)) : ""; }

std::filesystem::path ConfigFile() {
  wchar_t named[32768];
  DWORD length = GetEnvironmentVariableW(L"TAVRIN_HOST_CONFIG", named, 32768);
  if (length > 0 && length < 32768) {
    std::wstring path(named, length);
    if (path[0] == L'/') {  // a Unix path: Wine maps the root to Z:
      for (auto &c : path)
        if (c == L'/') c = L'\\';
      path = L"Z:" + path;
    }
    return path;
  }
  wchar_t root[MAX_PATH] = L"C:\\Windows";
  GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  return std::filesystem::path(root) / L"System32" / L"inetsrv" / L"config" /
         L"applicationHost.config";
}

bool EqualsNoCase(const std::string &a, const std::string &b) {
  return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Attributes whose values are names of numbered choices.
struct EnumAttribute {
  const char *attribute;
  std::vector<std::string> names;  // by number
};
const EnumAttribute kEnums[] = {
    {"identityType",
     {"LocalSystem", "LocalService", "NetworkService", "SpecificUser", "ApplicationPoolIdentity"}},
};

const EnumAttribute *FindEnum(std::string_view attribute) {
  for (const auto &e : kEnums)
    if (attribute == e.attribute) return &e;
  return nullptr;
}

bool NumberOf(const VARIANT &v, unsigned long long &n) {
  switch (v.vt) {
    case VT_UI1: n = v.bVal; return true;
    case VT_UI2: n = v.uiVal; return true;
    case VT_UI4: n = v.ulVal; return true;
    case VT_UINT: n = v.uintVal; return true;
    case VT_I1: if (v.cVal < 0) return false; n = static_cast<unsigned long long>(v.cVal); return true;
    case VT_I2: if (v.iVal < 0) return false; n = static_cast<unsigned long long>(v.iVal); return true;
    case VT_I4: if (v.lVal < 0) return false; n = static_cast<unsigned long long>(v.lVal); return true;
    case VT_INT: if (v.intVal < 0) return false; n = static_cast<unsigned long long>(v.intVal); return true;
    default: return false;
  }
}

bool ParseUint(const std::string &text, unsigned long &n) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value > 0xFFFFFFFFull) return false;
  n = static_cast<unsigned long>(value);
  return true;
}

// The stored text for a value written through put_Value.
HRESULT TextOf(const AttributeSchema &schema, const VARIANT &v, std::string &text) {
  unsigned long long n = 0;
  bool is_number = NumberOf(v, n);
  if (const EnumAttribute *e = FindEnum(schema.name)) {
    if (is_number) {
      if (n >= e->names.size()) return E_INVALIDARG;
      text = e->names[n];
      return S_OK;
    }
    if (v.vt != VT_BSTR) return E_INVALIDARG;
    for (const auto &name : e->names)
      if (EqualsNoCase(name, Narrow(v.bstrVal))) {
        text = name;
        return S_OK;
      }
    return E_INVALIDARG;
  }
  switch (schema.type) {
    case AttributeType::kString:
      if (v.vt == VT_BSTR) text = Narrow(v.bstrVal);
      else if (is_number) text = std::to_string(n);
      else if (v.vt == VT_BOOL) text = v.boolVal != VARIANT_FALSE ? "true" : "false";
      else return E_INVALIDARG;
      return S_OK;
    case AttributeType::kUint: {
      unsigned long parsed = 0;
      if (is_number && n <= 0xFFFFFFFFull) text = std::to_string(n);
      else if (v.vt == VT_BSTR && ParseUint(Narrow(v.bstrVal), parsed)) text = std::to_string(parsed);
      else return E_INVALIDARG;
      return S_OK;
    }
    case AttributeType::kBool:
      if (is_number) text = n != 0 ? "true" : "false";
      else if (v.vt == VT_BOOL) text = v.boolVal != VARIANT_FALSE ? "true" : "false";
      else if (v.vt == VT_BSTR && EqualsNoCase(Narrow(v.bstrVal), "true")) text = "true";
      else if (v.vt == VT_BSTR && EqualsNoCase(Narrow(v.bstrVal), "false")) text = "false";
      else return E_INVALIDARG;
      return S_OK;
  }
  return E_INVALIDARG;
}

// The VARIANT read for a stored text.
HRESULT ValueOf(const AttributeSchema &schema, const std::string &text, VARIANT *v) {
  VariantInit(v);
  if (const EnumAttribute *e = FindEnum(schema.name)) {
    for (size_t i = 0; i < e->names.size(); ++i)
      if (EqualsNoCase(e->names[i], text)) {
        v->vt = VT_UI4;
        v->ulVal = static_cast<ULONG>(i);
        return S_OK;
      }
    return kInvalidData;
  }
  switch (schema.type) {
    case AttributeType::kString: {
      std::wstring wide = Widen(text);
      v->vt = VT_BSTR;
      v->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
      return v->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    case AttributeType::kUint: {
      unsigned long n = 0;
      if (!ParseUint(text, n)) return kInvalidData;
      v->vt = VT_UI4;
      v->ulVal = n;
      return S_OK;
    }
    case AttributeType::kBool:
      if (!EqualsNoCase(text, "true") && !EqualsNoCase(text, "false")) return kInvalidData;
      v->vt = VT_BOOL;
      v->boolVal = EqualsNoCase(text, "true") ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
  }
  return kInvalidData;
}

const AttributeSchema *FirstKey(const ElementSchema &schema) {
  for (const auto &a : schema.attributes)
    if (a.is_key) return &a;
  return nullptr;
}

// Reference counting shared by every object here.
template <typename Interface>
class Object : public Interface {
 public:
  Object() { ++g_objects; }
  virtual ~Object() { --g_objects; }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    long left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || Accepts(riid)) {
      *object = static_cast<Interface *>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

 protected:
  virtual bool Accepts(REFIID riid) const = 0;

 private:
  std::atomic<long> refs_{1};
};

struct ManagerState {
  ConfigStore store;
  bool loaded = false;
  HResult load_result = kOk;
  bool writable = false;
  std::string commit_path{kApphostPath};

  HResult Load() {
    if (!loaded) {
      load_result = store.load(ConfigFile());
      loaded = true;
    }
    return load_result;
  }
};

enum class Backing { kSection, kSnapshot, kNode };

class ElementObject : public Object<IAppHostElement> {
 public:
  std::shared_ptr<ManagerState> state;
  Backing backing = Backing::kSnapshot;
  const ElementSchema *schema = nullptr;
  Element snapshot;                         // kSnapshot and read-only sections
  std::shared_ptr<SectionEditor> editor;    // sections of writable managers
  std::shared_ptr<XmlNode> owner;           // kNode: the detached tree's root
  XmlNode *node = nullptr;                  // kNode
  std::shared_ptr<SectionEditor> file_editor;  // kNode inside a file

  bool IsDetached() const { return backing == Backing::kNode && file_editor == nullptr; }

  // Marks the file that holds a kNode as changed. local_item reaches the
  // section node, which is what flags the file for the next commit.
  void Touch() {
    if (file_editor != nullptr) (void)file_editor->local_item({});
  }

  // The merged view of a section or snapshot element.
  HResult View(Element &out) const {
    if (backing == Backing::kSection && editor != nullptr) return editor->view(out);
    out = snapshot;
    return kOk;
  }

  HResult Read(const AttributeSchema &attribute, std::string &value) const {
    if (backing == Backing::kNode) {
      const std::string *v = node->attribute(attribute.name);
      value = v != nullptr ? *v : attribute.default_value;
      return kOk;
    }
    Element view;
    if (HResult hr = View(view); hr != kOk) return hr;
    return view.get(attribute.name, value);
  }

  HResult Write(const AttributeSchema &attribute, const std::string &value) {
    if (backing == Backing::kNode) {
      node->set_attribute(attribute.name, value);
      Touch();
      return kOk;
    }
    if (backing == Backing::kSection && editor != nullptr) return editor->set(attribute.name, value);
    return E_ACCESSDENIED;
  }

  HRESULT STDMETHODCALLTYPE GetElementByName(BSTR name, IAppHostElement **element) override;
  HRESULT STDMETHODCALLTYPE get_Collection(IAppHostElementCollection **collection) override;
  HRESULT STDMETHODCALLTYPE GetPropertyByName(BSTR name, IAppHostProperty **property) override;

 protected:
  bool Accepts(REFIID riid) const override { return riid == IID_IAppHostElement; }
};

ElementObject *NewSnapshot(const std::shared_ptr<ManagerState> &state, const Element &element) {
  auto *e = new ElementObject;
  e->state = state;
  e->backing = Backing::kSnapshot;
  e->schema = element.schema();
  e->snapshot = element;
  return e;
}

ElementObject *NewNode(const ElementObject &parent, XmlNode *node, const ElementSchema *schema) {
  auto *e = new ElementObject;
  e->state = parent.state;
  e->backing = Backing::kNode;
  e->schema = schema;
  e->owner = parent.owner;
  e->node = node;
  e->file_editor = parent.file_editor;
  return e;
}

class PropertyObject : public Object<IAppHostProperty> {
 public:
  PropertyObject(ElementObject *element, const AttributeSchema *attribute)
      : element_(element), attribute_(attribute) {
    element_->AddRef();
  }
  ~PropertyObject() override { element_->Release(); }

  HRESULT STDMETHODCALLTYPE get_Value(VARIANT *value) override {
    if (value == nullptr) return E_POINTER;
    std::string text;
    if (HResult hr = element_->Read(*attribute_, text); hr != kOk) return hr;
    return ValueOf(*attribute_, text, value);
  }
  HRESULT STDMETHODCALLTYPE put_Value(VARIANT value) override {
    std::string text;
    if (HRESULT hr = TextOf(*attribute_, value, text); FAILED(hr)) return hr;
    return element_->Write(*attribute_, text);
  }

 protected:
  bool Accepts(REFIID riid) const override { return riid == IID_IAppHostProperty; }

 private:
  ElementObject *element_;
  const AttributeSchema *attribute_;
};

class CollectionObject : public Object<IAppHostElementCollection> {
 public:
  explicit CollectionObject(ElementObject *parent) : parent_(parent) { parent_->AddRef(); }
  ~CollectionObject() override { parent_->Release(); }

  HRESULT STDMETHODCALLTYPE get_Count(DWORD *count) override {
    if (count == nullptr) return E_POINTER;
    if (parent_->backing == Backing::kNode) {
      *count = static_cast<DWORD>(NodeItems().size());
      return S_OK;
    }
    Element view;
    if (HResult hr = parent_->View(view); hr != kOk) return hr;
    *count = static_cast<DWORD>(view.items().size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAppHostElement **element) override {
    if (element == nullptr) return E_POINTER;
    *element = nullptr;
    const AttributeSchema *key = FirstKey(ItemSchema());
    unsigned long long position = 0;
    bool by_position = NumberOf(index, position);
    if (!by_position && (index.vt != VT_BSTR || key == nullptr)) return E_INVALIDARG;
    std::string wanted = by_position ? std::string() : Narrow(index.bstrVal);
    if (parent_->backing == Backing::kNode) {
      std::vector<XmlNode *> items = NodeItems();
      for (size_t i = 0; i < items.size(); ++i) {
        const std::string *v = by_position ? nullptr : items[i]->attribute(key->name);
        if (by_position ? i == position : v != nullptr && *v == wanted) {
          *element = NewNode(*parent_, items[i], &ItemSchema());
          return S_OK;
        }
      }
      return kInvalidIndex;
    }
    Element view;
    if (HResult hr = parent_->View(view); hr != kOk) return hr;
    for (size_t i = 0; i < view.items().size(); ++i) {
      const Element &item = view.items()[i];
      if (by_position ? i == position : item.value(key->name) == wanted) {
        *element = NewSnapshot(parent_->state, item);
        return S_OK;
      }
    }
    return kInvalidIndex;
  }

  HRESULT STDMETHODCALLTYPE CreateNewElement(BSTR name, IAppHostElement **element) override {
    if (element == nullptr) return E_POINTER;
    *element = nullptr;
    std::string wanted = Narrow(name);
    if (!wanted.empty() && wanted != parent_->schema->add_name) return E_INVALIDARG;
    auto *e = new ElementObject;
    e->state = parent_->state;
    e->backing = Backing::kNode;
    e->schema = &ItemSchema();
    e->owner = std::make_shared<XmlNode>();
    e->owner->name = parent_->schema->add_name;
    e->node = e->owner.get();
    *element = e;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddElement(IAppHostElement *element, INT position) override {
    auto *added = dynamic_cast<ElementObject *>(element);
    if (added == nullptr || !added->IsDetached() || added->node != added->owner.get() ||
        added->schema != &ItemSchema())
      return E_INVALIDARG;
    if (parent_->backing == Backing::kNode) {
      std::vector<XmlNode *> items = NodeItems();
      auto &children = parent_->node->children;
      auto at = children.end();
      if (position >= 0 && static_cast<size_t>(position) < items.size())
        for (auto it = children.begin(); it != children.end(); ++it)
          if (&*it == items[static_cast<size_t>(position)]) at = it;
      auto placed = children.insert(at, XmlNode{});
      placed->name = added->node->name;
      placed->attributes = added->node->attributes;
      placed->children.splice(placed->children.end(), added->node->children);
      Rebind(*added, &*placed, parent_->owner, parent_->file_editor);
      parent_->Touch();
      return S_OK;
    }
    if (parent_->backing != Backing::kSection || parent_->editor == nullptr) return E_ACCESSDENIED;
    if (HResult hr = parent_->editor->add_item(added->node->attributes, position); hr != kOk)
      return hr;
    const AttributeSchema *key = FirstKey(ItemSchema());
    const std::string *key_value = key != nullptr ? added->node->attribute(key->name) : nullptr;
    XmlNode *placed = parent_->editor->local_item(key_value != nullptr ? *key_value : "");
    if (placed == nullptr) return E_FAIL;
    placed->children.splice(placed->children.end(), added->node->children);
    Rebind(*added, placed, nullptr, parent_->editor);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE DeleteElement(VARIANT index) override {
    const AttributeSchema *key = FirstKey(ItemSchema());
    unsigned long long position = 0;
    bool by_position = NumberOf(index, position);
    if (!by_position && (index.vt != VT_BSTR || key == nullptr)) return E_INVALIDARG;
    if (parent_->backing == Backing::kNode) {
      std::vector<XmlNode *> items = NodeItems();
      std::string wanted = by_position ? std::string() : Narrow(index.bstrVal);
      for (size_t i = 0; i < items.size(); ++i) {
        const std::string *v = by_position ? nullptr : items[i]->attribute(key->name);
        if (by_position ? i == position : v != nullptr && *v == wanted) {
          parent_->node->children.remove_if([&](const XmlNode &c) { return &c == items[i]; });
          parent_->Touch();
          return S_OK;
        }
      }
      return kInvalidIndex;
    }
    if (parent_->backing != Backing::kSection || parent_->editor == nullptr) return E_ACCESSDENIED;
    if (!by_position) return parent_->editor->remove_item(Narrow(index.bstrVal));
    Element view;
    if (HResult hr = parent_->View(view); hr != kOk) return hr;
    if (position >= view.items().size() || key == nullptr) return kInvalidIndex;
    return parent_->editor->remove_item(view.items()[position].value(key->name));
  }

 protected:
  bool Accepts(REFIID riid) const override { return riid == IID_IAppHostElementCollection; }

 private:
  const ElementSchema &ItemSchema() const { return parent_->schema->item.front(); }

  std::vector<XmlNode *> NodeItems() const {
    std::vector<XmlNode *> items;
    for (auto &c : parent_->node->children)
      if (!c.is_comment && c.name == parent_->schema->add_name) items.push_back(&c);
    return items;
  }

  // The added element now stands for its node in the collection.
  static void Rebind(ElementObject &added, XmlNode *placed, std::shared_ptr<XmlNode> owner,
                     std::shared_ptr<SectionEditor> file_editor) {
    added.node = placed;
    added.owner = std::move(owner);
    added.file_editor = std::move(file_editor);
  }

  ElementObject *parent_;
};

HRESULT ElementObject::GetElementByName(BSTR name, IAppHostElement **element) {
  if (element == nullptr) return E_POINTER;
  *element = nullptr;
  std::string wanted = Narrow(name);
  const ElementSchema *child = schema->find_child(wanted);
  if (child == nullptr) return kInvalidIndex;
  if (backing == Backing::kNode) {
    XmlNode &n = node->child_or_add(wanted);
    Touch();
    *element = NewNode(*this, &n, child);
    return S_OK;
  }
  Element view;
  if (HResult hr = View(view); hr != kOk) return hr;
  const Element *c = view.child(wanted);
  if (c == nullptr) return kInvalidIndex;
  *element = NewSnapshot(state, *c);
  return S_OK;
}

HRESULT ElementObject::get_Collection(IAppHostElementCollection **collection) {
  if (collection == nullptr) return E_POINTER;
  *collection = nullptr;
  if (schema->add_name.empty()) return kInvalidIndex;
  *collection = new CollectionObject(this);
  return S_OK;
}

HRESULT ElementObject::GetPropertyByName(BSTR name, IAppHostProperty **property) {
  if (property == nullptr) return E_POINTER;
  *property = nullptr;
  const AttributeSchema *attribute = schema->find_attribute(Narrow(name));
  if (attribute == nullptr) return kInvalidIndex;
  *property = new PropertyObject(this, attribute);
  return S_OK;
}

class AdminManager : public Object<IAppHostWritableAdminManager> {
 public:
  explicit AdminManager(bool writable) : state_(std::make_shared<ManagerState>()) {
    state_->writable = writable;
  }

  HRESULT STDMETHODCALLTYPE GetAdminSection(BSTR section, BSTR path,
                                            IAppHostElement **element) override {
    if (element == nullptr) return E_POINTER;
    *element = nullptr;
    if (HResult hr = state_->Load(); hr != kOk) return hr;
    std::string section_name = Narrow(section), config_path = Narrow(path);
    auto *e = new ElementObject;
    e->state = state_;
    e->backing = Backing::kSection;
    HResult hr;
    if (state_->writable) {
      e->editor = std::make_shared<SectionEditor>();
      e->schema = section_schema(section_name);
      hr = state_->store.edit_section(section_name, config_path, state_->commit_path, *e->editor);
    } else {
      hr = state_->store.get_section(section_name, config_path, e->snapshot);
      e->schema = e->snapshot.schema();
    }
    if (hr != kOk) {
      e->Release();
      return hr;
    }
    *element = e;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CommitChanges() override {
    if (!state_->writable) return E_ACCESSDENIED;
    if (HResult hr = state_->Load(); hr != kOk) return hr;
    return state_->store.commit();
  }

  HRESULT STDMETHODCALLTYPE put_CommitPath(BSTR path) override {
    if (!state_->writable) return E_ACCESSDENIED;
    state_->commit_path = Narrow(path);
    return S_OK;
  }

 protected:
  bool Accepts(REFIID riid) const override {
    return riid == IID_IAppHostAdminManager ||
           (state_->writable && riid == IID_IAppHostWritableAdminManager);
  }

 private:
  std::shared_ptr<ManagerState> state_;
};

class ClassFactory : public Object<IClassFactory> {
 public:
  explicit ClassFactory(bool writable) : writable_(writable) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return com::CreateAdminManager(writable_, riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 protected:
  bool Accepts(REFIID riid) const override { return riid == IID_IClassFactory; }

 private:
  bool writable_;
};

DWORD g_cookies[2] = {0, 0};

}  // namespace

HRESULT CreateAdminManager(bool writable, REFIID riid, void **object) {
  auto *manager = new AdminManager(writable);
  HRESULT hr = manager->QueryInterface(riid, object);
  manager->Release();
  return hr;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void **object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  bool writable = clsid == CLSID_AppHostWritableAdminManager;
  if (!writable && clsid != CLSID_AppHostAdminManager) return CLASS_E_CLASSNOTAVAILABLE;
  auto *factory = new ClassFactory(writable);
  HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

HRESULT RegisterAppHostClasses() {
  const CLSID *classes[2] = {&CLSID_AppHostAdminManager, &CLSID_AppHostWritableAdminManager};
  for (int i = 0; i < 2; ++i) {
    IUnknown *factory = nullptr;
    HRESULT hr = GetClassObject(*classes[i], IID_IUnknown, reinterpret_cast<void **>(&factory));
    if (SUCCEEDED(hr))
      hr = CoRegisterClassObject(*classes[i], factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                 &g_cookies[i]);
    if (factory != nullptr) factory->Release();
    if (FAILED(hr)) {
      RevokeAppHostClasses();
      return hr;
    }
  }
  return S_OK;
}

void RevokeAppHostClasses() {
  for (DWORD &cookie : g_cookies) {
    if (cookie != 0) CoRevokeClassObject(cookie);
    cookie = 0;
  }
}

bool CanUnload() { return g_objects == 0; }

}  // namespace iisadmin::com
