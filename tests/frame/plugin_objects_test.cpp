// The dispatcher's last resort when creating an object fails for want of memory, and a host that
// sets a codec's callback twice.
#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/plugin_identity.h"
#include "encoder/plugin_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// The next allocation of the process fails once, when armed; the module's are among them, as it
// is linked into this program.
namespace {
std::atomic<bool> s_failNextAllocation{false};
} // namespace

[[gnu::noinline]] void* operator new(size_t size) {
    if (s_failNextAllocation.exchange(false)) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}

[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

using namespace IOPlugin;

namespace {

class PluginObjects : public korvadin_test::PluginFixture {};

// Creating an object that the process has no memory for is refused with the text that says so;
// the place for the object is left alone.
TEST_F(PluginObjects, CreationWithoutMemoryIsRefusedWithItsText) {
    for (const Uuid& id : {s_codecFormats[3].uuid, kContainerUuid}) {
        auto* marker = reinterpret_cast<IPluginObjRef*>(0x77);
        IPluginObjRef* created = marker;
        h.probe().clearTrace();
        s_failNextAllocation = true;
        EXPECT_EQ(pluginDispatch(msgCreateObject, id.data(), &created), errCreateFailed);
        s_failNextAllocation = false;
        EXPECT_EQ(created, marker);
        EXPECT_EQ(h.probe().errorTexts(),
                  std::vector<std::string>{"Korvadin Plugin :: Out of memory"});
    }
}

TEST_F(PluginObjects, ASecondCallbackIsAFatalBreachOfTheProtocol) {
    IPluginObjRef* encoder = nullptr;
    ASSERT_EQ(createObject(s_codecFormats[0].uuid.data(), &encoder), errNone);
    const host::Handle callback = h.createCallback();
    EXPECT_EQ(pluginDispatch(msgCodecSetCallback, encoder, callback), errNone);
    EXPECT_DEATH(pluginDispatch(msgCodecSetCallback, encoder, callback),
                 "m_pCallback == NULL.*davinci/encoder/wrapper/plugin_api");
    encoder->release(); // gives the callback back
    h.release(callback);
}

} // namespace
