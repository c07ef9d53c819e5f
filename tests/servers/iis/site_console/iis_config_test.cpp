// The configuration access layer over the admin managers: lookups by
// name, value types, site ids, pool names, and commits.
#include <gtest/gtest.h>

#include "IISConfig.h"
#include "IISSite.h"
#include "config_fixture.h"

using namespace IISConfig;

namespace {

class IISConfigTest : public ConfigFixture {
 protected:
  Element Sites(const Manager &manager) {
    return GetAdminSection(manager, L"system.applicationHost/sites", kApphostPath);
  }
};

template <typename F>
QVS::BaseException Raised(F f) {
  try {
    f();
  } catch (const QVS::BaseException &e) {
    return e;
  }
  ADD_FAILURE() << "nothing raised";
  return QVS::BaseException(0, L"");
}

TEST_F(IISConfigTest, NameLookupsDifferInLetterCase) {
  WriteApphost(Site("Main", 1, "C:\\m"));
  Manager manager = CreateAdminManager();
  Element sites = Sites(manager);
  EXPECT_TRUE(CollectionContains(sites, L"main"));
  EXPECT_EQ(GetStringProperty(FindElementByName(sites, L"Main"), L"name"), L"Main");
  QVS::BaseException e = Raised([&] { FindElementByName(sites, L"main"); });
  EXPECT_EQ(e.code, kErrorElementNotFound);
  EXPECT_EQ(e.message, L"0xa0000004: Unable to find IIS config element with: name=main");

  Element noModules = GetAdminSection(manager, L"system.webServer/globalModules", kApphostPath);
  EXPECT_FALSE(CollectionContains(noModules, L"x"));
  EXPECT_EQ(Raised([&] { FindElementByName(noModules, L"x"); }).code, kErrorElementNotFound);
}

TEST_F(IISConfigTest, ValueTypes) {
  WriteApphost(Site("Main", 3, "C:\\m") +
               "<site name=\"Bare\" id=\"4\"><application path=\"/\"><virtualDirectory path=\"/\" "
               "physicalPath=\"C:\\b\" /></application><bindings><binding protocol=\"http\" "
               "bindingInformation=\"*:81:\" sslFlags=\"1\" /></bindings></site>");
  Manager manager = CreateAdminManager();
  Element main = FindElementByName(Sites(manager), L"Main");
  EXPECT_EQ(GetUIntValue(GetProperty(main, L"id"), L"id"), 3u);
  QVS::BaseException e = Raised([&] { GetUIntValue(GetProperty(main, L"serverAutoStart"), L"serverAutoStart"); });
  EXPECT_EQ(e.message, L"0xa0000003: IIS property value isn't of expected type 'unsigned int': serverAutoStart");
  e = Raised([&] { GetStringValue(GetProperty(main, L"id"), L"id"); });
  EXPECT_EQ(e.message, L"0xa0000003: IIS property value isn't of expected type 'string': id");
  // An attribute the element does not have is a failed call.
  EXPECT_EQ(Raised([&] { GetProperty(main, L"nonsense"); }).code, 0x80070585u);

  Element binding = GetCollectionItem(GetChildElement(FindElementByName(Sites(manager), L"Bare"), L"bindings"), 0);
  Property flags = GetOptionalProperty(binding);
  ASSERT_TRUE(flags);
  EXPECT_EQ(GetUIntValue(std::move(flags), L"sslFlags"), 1u);
}

// An element without an "sslFlags" attribute, and a property holding a
// 16-bit number: what another server version may answer.
struct FakeProperty : IAppHostProperty {
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE get_Value(VARIANT *v) override {
    VariantInit(v);
    v->vt = VT_UI2;
    v->uiVal = 443;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Value(VARIANT) override { return E_NOTIMPL; }
};
struct FakeElement : IAppHostElement {
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetElementByName(BSTR, IAppHostElement **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Collection(IAppHostElementCollection **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyByName(BSTR, IAppHostProperty **) override {
    return static_cast<HRESULT>(0x80070585);
  }
};

TEST(IISConfigValues, SixteenBitNumbersAndAbsentSslFlags) {
  FakeProperty property;
  property.AddRef();
  EXPECT_EQ(GetUIntValue(Property(&property), L"port"), 443u);
  EXPECT_EQ(property.refs, 1u);  // the value accessor released its reference
  FakeElement element;
  element.AddRef();
  Element held(&element);
  EXPECT_FALSE(GetOptionalProperty(held));
}

TEST_F(IISConfigTest, NextSiteId) {
  WriteApphost("");
  EXPECT_EQ(NextSiteId(Sites(CreateAdminManager())), 1u);
  WriteApphost(Site("a", 1, "C:\\a") + Site("b", 7, "C:\\b") + Site("c", 2, "C:\\c"));
  EXPECT_EQ(NextSiteId(Sites(CreateAdminManager())), 8u);
}

TEST_F(IISConfigTest, PoolNamesAreMadeUniqueAndStoredOnlyByCommit) {
  WriteApphost("", "<add name=\"a\" /><add name=\"A1\" />");
  IISSite site(L"a", L"*", L"", L"http", L"80", L"C:\\a", L"", L"", 0);
  {
    Manager manager = CreateAdminManager(kApphostPath);
    CreateAppPool(manager, site);
    EXPECT_EQ(site.appPool, L"a2");
  }  // released without a commit: nothing stored
  EXPECT_EQ(ItemNames(Read("system.applicationHost/applicationPools")),
            (std::vector<std::string>{"DefaultAppPool", "a", "A1"}));

  site.appPool = L"a";
  Manager manager = CreateAdminManager(kApphostPath);
  CreateAppPool(manager, site);
  CommitChanges(manager);
  iisadmin::Element pools = Read("system.applicationHost/applicationPools");
  ASSERT_EQ(ItemNames(pools), (std::vector<std::string>{"DefaultAppPool", "a", "A1", "a2"}));
  const iisadmin::Element &pool = pools.items()[3];
  EXPECT_EQ(pool.value("enable32BitAppOnWin64"), "false");
  EXPECT_TRUE(pool.is_set("managedRuntimeVersion"));
  EXPECT_EQ(pool.value("managedRuntimeVersion"), "");
  EXPECT_EQ(pool.child("processModel")->value("loadUserProfile"), "false");
  EXPECT_EQ(pool.child("processModel")->value("identityType"), "ApplicationPoolIdentity");
}

TEST_F(IISConfigTest, FailedCallsCarryTheHResult) {
  WriteApphost("");
  Manager manager = CreateAdminManager();
  EXPECT_EQ(Raised([&] { GetAdminSection(manager, L"no.such/section", kApphostPath); }).code,
            0x80070490u);
  EXPECT_EQ(Raised([&] { CommitChanges(manager); }).code, static_cast<std::uint32_t>(E_NOINTERFACE));
  DeleteFileW(apphost.c_str());
  EXPECT_EQ(Raised([&] { Sites(CreateAdminManager()); }).code, 0x80070002u);
}

}  // namespace
