// Reading and writing the web server's configuration through its
// administration interfaces. Every failure becomes a QVS exception; every
// value is a UTF-16 text or an unsigned number.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "AppHostAdmin.h"

struct IISSite;

// A counted reference that releases on destruction.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(T *adopted) : p_(adopted) {}
  ComRef(const ComRef &other) : p_(other.p_) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComRef(ComRef &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComRef &operator=(ComRef other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComRef() {
    if (p_ != nullptr) p_->Release();
  }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held first.
  T **put() {
    *this = ComRef();
    return &p_;
  }

 private:
  T *p_ = nullptr;
};

namespace IISConfig {

using Manager = ComRef<IAppHostAdminManager>;
using Element = ComRef<IAppHostElement>;
using Collection = ComRef<IAppHostElementCollection>;
using Property = ComRef<IAppHostProperty>;

extern const wchar_t kApphostPath[];  // "MACHINE/WEBROOT/APPHOST"
// "MACHINE/WEBROOT/APPHOST/" + site name.
std::wstring SitePath(const std::wstring &siteName);

// Managers and sections. A writable manager (created with a commit path)
// stores changes only through CommitChanges.
Manager CreateAdminManager();
Manager CreateAdminManager(const std::wstring &commitPath);
Element GetAdminSection(const Manager &manager, const std::wstring &section,
                        const std::wstring &path);
void CommitChanges(const Manager &manager);

// Elements and collections.
Element GetChildElement(const Element &element, const std::wstring &childName);
Collection GetCollection(const Element &element);
Element GetCollectionItem(const Element &element, std::uint32_t index);
// Some item's "name" equals name case-insensitively.
bool CollectionContains(const Element &element, const std::wstring &name);
// The first item whose "name" equals name exactly; 0xA0000004 when none.
Element FindElementByName(const Element &element, const std::wstring &name);
// An empty element name creates the collection's default item.
Element CreateCollectionElement(const Element &element, const std::wstring &elementName);
// position -1 appends.
void AddCollectionElement(const Element &element, Element newElement, int position);
void DeleteCollectionElement(const Element &element, const std::wstring &name);

// Properties. The value accessors consume the property reference.
Property GetProperty(const Element &element, const std::wstring &attributeName);
// The "sslFlags" property, or none when the element has no such attribute.
Property GetOptionalProperty(const Element &element);
std::wstring GetStringValue(Property property, const std::wstring &attributeName);
std::uint32_t GetUIntValue(Property property, const std::wstring &attributeName);
std::wstring GetStringProperty(const Element &element, const std::wstring &attributeName);
void SetStringValue(Property property, const std::wstring &text);
void SetUIntValue(Property property, std::uint32_t value);

// Module sites.
bool IsModuleSite(const Manager &manager, const std::wstring &sitePath);
// The largest "id" of the sites section's items plus 1 (1 when none).
std::uint32_t NextSiteId(const Element &sitesSection);
// Appends the site's application pool under a unique name (site.appPool
// may change); does not commit.
void CreateAppPool(const Manager &manager, IISSite &site);
// Appends the site with its application, virtual directory and binding,
// then commits the manager.
void CreateSite(const Manager &manager, const IISSite &site);
// Registers the module and its handlers, switches directory browsing off,
// prunes foreign handlers and writes the settings section.
void ConfigureSite(const IISSite &site);
void PruneHandlers(const Manager &manager, const std::wstring &sitePath);
void DeleteSite(const std::wstring &name);
void DeleteAppPool(const std::wstring &name);

}  // namespace IISConfig
