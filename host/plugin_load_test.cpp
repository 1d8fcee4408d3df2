// Loads the built plug-in as the agent does and checks the entry point.
#include "core/common/error_codes.h"
#include "plugin_testutil.h"

namespace {

// The plug-in as the agent loads it; the fixture checks it unloads cleanly.
using PluginTest = PluginTesting::PluginFixture;

TEST_F(PluginTest, RefusesOtherServerTypesInTheCurrentLanguage) {
  ResourceApi::SetLanguage("en");
  for (int type : {0, 6, 8}) {
    Common::Error result;
    Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> server;
    open_(result, type, server);
    EXPECT_FALSE(server);
    EXPECT_EQ(result.Code(), Code::kOpenServerFailed);
    EXPECT_STREQ(result.Function(), "SafeOpenVirtualServer");
    EXPECT_STREQ(result.Source(), "virtual_pc/dll/main");
    EXPECT_EQ(result.Line(), 32u);
    EXPECT_EQ(result.Message(), u"Failed to open the virtualization server.");
  }

  Common::Error english;
  Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> unused;
  open_(english, 6, unused);
  ResourceApi::SetLanguage("de");
  Common::Error german;
  open_(german, 6, unused);
  EXPECT_EQ(german.Message(), u"Der Virtualisierungsserver konnte nicht ge\u00F6ffnet werden.");
  // An error made before the change keeps its language.
  EXPECT_EQ(english.Message(), u"Failed to open the virtualization server.");
  ResourceApi::SetLanguage("fr");  // no catalogue: English again
  Common::Error fallback;
  open_(fallback, 6, unused);
  EXPECT_EQ(fallback.Message(), u"Failed to open the virtualization server.");
}

TEST_F(PluginTest, ServerAnswersItsFiveInterfaces) {
  Common::Error result;
  Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> server;
  open_(result, VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC, server);
  ASSERT_TRUE(result.IsSuccess());
  ASSERT_TRUE(server);
  EXPECT_EQ(server->GetMetaClass()->GetInterfaceId(), 0x6B13C1F6u);
  EXPECT_EQ(server.GetMetaClass()->GetInterfaceId(), 0x6B13C1F6u);
  for (uint32_t id : {0x6B13C1F6u, 0x6257240Fu, 0x6E784E10u, 0x5B78D1D6u, 0x6ED70626u}) {
    Processor::InterfacePair pair = server->QueryInterface(id);
    ASSERT_NE(pair.object, nullptr) << std::hex << id;
    EXPECT_EQ(pair.metaClass->GetInterfaceId(), id);
    pair.metaClass->Release(pair.object);
  }
  Processor::InterfacePair none = server->QueryInterface(0x405B29F6);
  EXPECT_EQ(none.object, nullptr);
  EXPECT_EQ(none.metaClass, nullptr);

  // Two calls give two independent servers.
  Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> other;
  open_(result, VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC, other);
  ASSERT_TRUE(other);
  EXPECT_NE(other.Get(), server.Get());
  other.Reset();
  std::u16string name;
  EXPECT_TRUE(server->GetServerName(name).IsSuccess());
  EXPECT_EQ(name, u"Microsoft Virtual PC");

  // Type 6 leaves a held server as it was.
  open_(result, 6, server);
  EXPECT_TRUE(server);
  // Operations that wait for later layers answer with a coded error.
  Processor::AutoRef<VirtualWareRaw::SafeVM> vm;
  EXPECT_TRUE(server->GetRegisteredVM(u"/nowhere.vmc", vm).IsFailure());
}

}  // namespace
