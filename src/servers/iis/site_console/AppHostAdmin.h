// The web server's configuration administration interfaces as this tool
// uses them: admin managers that open configuration sections, elements
// with properties, child elements and collections. Declared here from what
// the tool calls; the managers are reached only through CoCreateInstance
// of the two published class ids below.
#pragma once

#include <objbase.h>
#include <oleauto.h>

struct IAppHostElement;

struct IAppHostProperty : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Value(VARIANT value) = 0;
};

// Items are addressed by a VARIANT: a zero-based index (VT_UI4, VT_I4) or
// the value of the item's key attribute (VT_BSTR).
struct IAppHostElementCollection : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Count(DWORD *count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAppHostElement **element) = 0;
  // position -1 appends.
  virtual HRESULT STDMETHODCALLTYPE AddElement(IAppHostElement *element, INT position) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteElement(VARIANT index) = 0;
  // An empty name creates the collection's default item.
  virtual HRESULT STDMETHODCALLTYPE CreateNewElement(BSTR name, IAppHostElement **element) = 0;
};

struct IAppHostElement : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetElementByName(BSTR name, IAppHostElement **element) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Collection(IAppHostElementCollection **collection) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyByName(BSTR name, IAppHostProperty **property) = 0;
};

struct IAppHostAdminManager : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetAdminSection(BSTR section, BSTR path,
                                                    IAppHostElement **element) = 0;
};

struct IAppHostWritableAdminManager : public IAppHostAdminManager {
  virtual HRESULT STDMETHODCALLTYPE CommitChanges() = 0;
  virtual HRESULT STDMETHODCALLTYPE put_CommitPath(BSTR path) = 0;
};

inline constexpr CLSID CLSID_AppHostWritableAdminManager = {
    0x2B72133B, 0x3F5B, 0x4602, {0x89, 0x52, 0x80, 0x35, 0x46, 0xCE, 0x33, 0x44}};
inline constexpr IID IID_IAppHostWritableAdminManager = {
    0xFA7660F6, 0x7B3F, 0x4237, {0xA8, 0xBF, 0xED, 0x0A, 0xD0, 0xDC, 0xBB, 0xD9}};
inline constexpr CLSID CLSID_AppHostAdminManager = {
    0x228FB8F7, 0xFB53, 0x4FD5, {0x8C, 0x7B, 0xFF, 0x59, 0xDE, 0x60, 0x6C, 0x5B}};
inline constexpr IID IID_IAppHostAdminManager = {
    0x9BE77978, 0x73ED, 0x4A9A, {0x87, 0xFD, 0x13, 0xF0, 0x9F, 0xEC, 0x1B, 0x13}};

// Interface ids of the element interfaces, for QueryInterface.
inline constexpr IID IID_IAppHostElement = {
    0x2BCC73EE, 0x3506, 0x44C3, {0xB8, 0x21, 0xBC, 0x2E, 0x8A, 0xE8, 0x3A, 0xCB}};
inline constexpr IID IID_IAppHostElementCollection = {
    0x6FE2F1FE, 0x7697, 0x499B, {0x8B, 0x2E, 0x7E, 0x86, 0x85, 0x99, 0x48, 0x17}};
inline constexpr IID IID_IAppHostProperty = {
    0x8021BBDA, 0xAAE0, 0x416B, {0x9F, 0x40, 0xE9, 0xB0, 0x63, 0x5A, 0x5F, 0x35}};
