#include "admin_manager.h"

#include <new>

#include "tavrin_iis/utf.h"

namespace tavrin_iis {

namespace {

std::string from_bstr(BSTR text) {
  return text == nullptr ? std::string() : utf16_to_utf8(std::u16string_view(text, SysStringLen(text)));
}

HRESULT to_bstr(const std::string &text, BSTR *out) {
  if (out == nullptr) return E_POINTER;
  std::u16string wide = utf8_to_utf16(text);
  *out = SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// Reference counting shared by the objects handed to modules.
template <class Interface>
class Counted : public Interface {
 public:
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

class Property final : public Counted<IAppHostProperty> {
 public:
  Property(std::string name, std::string value) : name_(std::move(name)), value_(std::move(value)) {}
  HRESULT get_StringValue(BSTR *value) override { return to_bstr(value_, value); }
  HRESULT get_Name(BSTR *name) override { return to_bstr(name_, name); }

 private:
  std::string name_, value_;
};

class SectionElement final : public Counted<IAppHostElement> {
 public:
  SectionElement(iisadmin::Element element, const iisadmin::DriveMap &drives)
      : element_(std::move(element)), drives_(drives) {}
  HRESULT GetPropertyByName(BSTR name, IAppHostProperty **property) override {
    if (property == nullptr) return E_POINTER;
    *property = nullptr;
    if (name == nullptr) return E_INVALIDARG;
    std::string key = from_bstr(name), value;
    if (HRESULT hr = element_.get(key, value); FAILED(hr)) return hr;
    if (auto local = drives_.resolve(value)) value = local->string();
    *property = new (std::nothrow) Property(key, value);
    return *property == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT get_Name(BSTR *name) override { return to_bstr(element_.name(), name); }

 private:
  iisadmin::Element element_;
  const iisadmin::DriveMap &drives_;
};

}  // namespace

HRESULT AdminManager::GetAdminSection(BSTR section_name, BSTR config_path,
                                      IAppHostElement **section) {
  if (section == nullptr) return E_POINTER;
  *section = nullptr;
  if (section_name == nullptr || config_path == nullptr) return E_INVALIDARG;
  iisadmin::Element element;
  std::string error, name = from_bstr(section_name), path = from_bstr(config_path);
  if (HRESULT hr = store_.get_section(name, path, element, &error); FAILED(hr)) {
    if (on_error_) on_error_("reading section '" + name + "' at " + path + ": " + error);
    return hr;
  }
  *section = new (std::nothrow) SectionElement(std::move(element), drives_);
  return *section == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace tavrin_iis
