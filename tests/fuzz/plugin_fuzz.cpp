// The built plug-in file behind the substitute host, sent a stream of messages decoded from
// the input: encoders and containers created, given callbacks, settings, frames, tracks,
// packets and files, closed and released in any order, with host objects whose properties
// have any type, count and value. Only what the protocol lets a host do is sent: objects the
// host still holds a reference on, handles of the kind a message takes, a callback set once,
// a container closed before the host lets go of it. Every answer must be a result code, and
// once everything is released the plug-in may hold nothing of the host's and may have met no
// failure that only its last-resort handler caught.
#include "fuzz_input.h"
#include "host/media/raw_layout.h"
#include "host/session.h"
#include "host/variants.h"
#include "korvadin_common64.h"
#include "plugin_ops.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace IOPlugin;
using host::Handle;
using korvadin_fuzz::ByteReader;

namespace {

host::Host& h = host::Host::instance();

struct Plugin {
    host::PluginSession session;
    std::vector<host::Registration> codecs;
    std::vector<uint8_t> containerId;

    Plugin() : codecs(session.registerCodecs()) {
        const auto containers = session.registerContainers();
        if (codecs.empty() || containers.empty()) {
            std::fprintf(stderr, "the plug-in registered no codec or no container\n");
            std::abort();
        }
        containerId = containers.front().uuid;
    }
};

// Loaded once: the plug-in stays in the process for every input, as it stays in an editor.
// Never destroyed, since each input ends with a fresh host that no longer has the session's
// registration lists.
const Plugin* plugin = nullptr;

enum class Kind { Encoder, Container, Track };

struct PluginObject {
    void* object = nullptr;
    Kind kind = Kind::Encoder;
    int hostReferences = 1;
    bool callbackSet = false; // encoders: the host sets a callback once
};

enum class HostKind { Bag, Buffer, List, Callback };

struct HostObject {
    Handle handle = 0;
    HostKind kind = HostKind::Bag;
};

const char* const kKeys[] = {
    "width",       "height",     "fieldOrder", "dataRange", "pts",         "duration",
    "path",        "mediaType",  "frameRate",  "4cc",       "magicCookie", "samplingRate",
    "numChannels", "sampleBits", "isFloat",    "audLayout", "isKeyFrame",  "name",
};

// Numbers a host may send: small ones from the input, and the edges of 32 bits.
uint32_t number(ByteReader& in) {
    static constexpr uint32_t kEdges[] = {0,   1,     2,          3,          16,
                                          255, 65535, 0x7fffffff, 0x80000000, 0xffffffff};
    const uint8_t b = in.byte();
    return b < 0xf0 ? b : kEdges[b % std::size(kEdges)];
}

class Session {
public:
    explicit Session(ByteReader& in) : m_in(in) {}

    void run() {
        while (!m_in.empty()) {
            step();
        }
        finish();
    }

private:
    template <class... Args>
    int32_t send(uint32_t msg, Args... args) {
        const int32_t r = plugin->session.plugin().send(msg, args...);
        if (r < errNoHandle || r > resultNoFrame) {
            std::fprintf(stderr, "message %#x answered %d\n", msg, r);
            std::abort();
        }
        return r;
    }

    // An object of the kind (any kind) the host may address, or null when there is none.
    PluginObject* object(std::optional<Kind> kind) {
        std::vector<PluginObject*> matching;
        for (PluginObject& o : m_objects) {
            if ((!kind || o.kind == *kind) && o.hostReferences > 0) {
                matching.push_back(&o);
            }
        }
        return matching.empty() ? nullptr : matching[m_in.pick(matching.size())];
    }
    // A handle of one of the kinds given, sometimes no handle at all.
    Handle handle(std::initializer_list<HostKind> kinds) {
        std::vector<Handle> matching{0};
        for (const HostObject& o : m_hostObjects) {
            if (std::find(kinds.begin(), kinds.end(), o.kind) != kinds.end()) {
                matching.push_back(o.handle);
            }
        }
        return matching[m_in.pick(matching.size())];
    }
    Handle properties() { return handle({HostKind::Bag, HostKind::Buffer}); }
    Handle keep(Handle handle, HostKind kind) {
        m_hostObjects.push_back({handle, kind});
        return handle;
    }
    Handle buffer(size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + size);
        }
        return keep(h.createBuffer(bytes), HostKind::Buffer);
    }

    // One member per step, in the order of korvadin_fuzz::PluginOp.
    void step() {
        static constexpr void (Session::*kSteps[])() = {
            &Session::createEncoder, &Session::createContainer,   &Session::setCallback,
            &Session::open,          &Session::openWithSize,      &Session::frameOfSize,
            &Session::frame,         &Session::codecQuestions,    &Session::initOrOpen,
            &Session::openFile,      &Session::addTrack,          &Session::packet,
            &Session::close,         &Session::addRefOrRelease,   &Session::makeHostObject,
            &Session::setProperty,   &Session::releaseHostObject, &Session::wrongObject,
            &Session::pluginMessage, &Session::packetOfSize,      &Session::portableLoops,
            &Session::hostRefusals};
        static_assert(std::size(kSteps) == korvadin_fuzz::opCount);
        (this->*kSteps[m_in.pick(korvadin_fuzz::opCount)])();
    }

    // Sends `msg` to an object of `kind`, with a handle of the kinds given (none: no argument).
    void toObject(Kind kind, uint32_t msg, std::initializer_list<HostKind> argument) {
        if (PluginObject* o = object(kind)) {
            argument.size() == 0 ? send(msg, o->object) : send(msg, o->object, handle(argument));
        }
    }
    void open() { toObject(Kind::Encoder, msgCodecOpen, {HostKind::Bag, HostKind::Buffer}); }
    void frame() { toObject(Kind::Encoder, msgCodecBuffer, {HostKind::Buffer}); }
    void packet() { toObject(Kind::Track, msgTrackWritePacket, {HostKind::Buffer}); }
    void close() { toObject(Kind::Container, msgContainerClose, {}); }
    void initOrOpen() {
        if (PluginObject* c = object(Kind::Container)) {
            const uint32_t msg = m_in.pick(2) == 0 ? msgContainerInit : msgContainerOpen;
            send(msg, c->object, properties());
        }
    }
    // The library's portable loops from here on, or its faster ones again.
    void portableLoops() { korvadin_set_cpu_mask((m_in.byte() & 1) != 0 ? 0 : ~0u); }

    const host::Registration& codec() { return plugin->codecs[m_in.pick(plugin->codecs.size())]; }

    // An identifier the plug-in registered always creates its object.
    void create(const uint8_t* id, Kind kind) {
        void* created = nullptr;
        if (send(msgCreateObject, id, &created) != errNone || created == nullptr) {
            std::abort();
        }
        m_objects.push_back({created, kind});
    }
    void createEncoder() { create(codec().uuid.data(), Kind::Encoder); }

    void createContainer() {
        if (m_in.pick(8) == 0) {
            // An identifier the plug-in does not know creates nothing.
            std::array<uint8_t, 16> id{};
            for (uint8_t& b : id) {
                b = m_in.byte();
            }
            void* created = nullptr;
            if (send(msgCreateObject, id.data(), &created) == errNone) {
                const bool container = std::equal(id.begin(), id.end(), plugin->containerId.begin(),
                                                  plugin->containerId.end());
                m_objects.push_back({created, container ? Kind::Container : Kind::Encoder});
            }
            return;
        }
        create(plugin->containerId.data(), Kind::Container);
    }

    void setCallback() {
        PluginObject* e = object(Kind::Encoder);
        if (e == nullptr || e->callbackSet) {
            return;
        }
        Handle callback = handle({HostKind::Callback});
        if (callback == 0 && m_in.pick(2) == 0) {
            callback = keep(h.createCallback(), HostKind::Callback);
        }
        e->callbackSet = true;
        send(msgCodecSetCallback, e->object, callback);
    }

    // Settings as an editor sends them, with a size small enough for many frames a second.
    void openWithSize() {
        if (PluginObject* e = object(Kind::Encoder)) {
            const Handle settings = keep(h.createBuffer(), HostKind::Buffer);
            h.setUInt32(settings, "width", m_in.byte());
            h.setUInt32(settings, "height", m_in.byte());
            h.setUInt8(settings, "dataRange", m_in.byte());
            h.setUInt8(settings, "fieldOrder", m_in.byte());
            send(msgCodecOpen, e->object, settings);
        }
    }

    // A frame of the size a variant's raw layout has, with the attributes a frame carries.
    void frameOfSize() {
        PluginObject* e = object(Kind::Encoder);
        const host::Registration& variant = codec();
        const uint32_t width = m_in.byte();
        const uint32_t height = m_in.byte();
        if (e == nullptr) {
            return;
        }
        const Handle frame = buffer(host::rawFrameSize(host::rawCodeOf(variant), width, height));
        h.setUInt32(frame, "width", width);
        h.setUInt32(frame, "height", height);
        h.setInt64(frame, "pts", m_in.byte());
        send(msgCodecBuffer, e->object, frame);
    }

    void codecQuestions() {
        if (PluginObject* e = object(Kind::Encoder)) {
            bool answer = false;
            switch (m_in.pick(4)) {
            case 0:
                send(msgCodecProperties, e->object, properties());
                break;
            case 1:
                send(msgCodecSignal, e->object);
                break;
            case 2:
                send(msgCodecQueryValue, e->object, uint64_t{number(m_in)}, &answer);
                break;
            case 3:
                send(msgCodecQuery, e->object, &answer);
                break;
            }
        }
    }

    // Files only ever go into the scratch folder, or nowhere.
    void openFile() {
        if (PluginObject* c = object(Kind::Container)) {
            static const std::string paths[] = {korvadin_fuzz::scratch().file("a.avi"),
                                                korvadin_fuzz::scratch().file("b.avi"),
                                                korvadin_fuzz::scratch().file("missing/c.avi"), ""};
            const Handle bag = keep(h.createBag(), HostKind::Bag);
            h.setString(bag, "path", m_in.pick(paths));
            send(msgContainerOpen, c->object, bag);
        }
    }

    void addTrack() {
        if (PluginObject* c = object(Kind::Container)) {
            const Handle description = properties();
            const Handle codec = properties();
            void* track = nullptr;
            if (send(msgContainerAddTrack, c->object, description, codec, &track) == errNone &&
                track != nullptr) {
                m_objects.push_back({track, Kind::Track});
            }
        }
    }

    void packetOfSize() {
        PluginObject* t = object(Kind::Track);
        const size_t size = m_in.byte() * size_t(m_in.pick(3) == 0 ? 64 : 1);
        if (t == nullptr) {
            return;
        }
        const Handle p = buffer(size);
        if (m_in.pick(2) == 0) {
            h.setInt64(p, "duration", static_cast<int64_t>(number(m_in)));
        }
        send(msgTrackWritePacket, t->object, p);
    }

    void addRefOrRelease() {
        if (PluginObject* o = object(std::nullopt)) {
            if (m_in.pick(2) == 0) {
                uint32_t count = 0;
                send(msgAddRef, o->object, &count);
                ++o->hostReferences;
            } else {
                release(*o);
            }
        }
    }

    void release(PluginObject& o) {
        // A container holds its tracks and they hold it: only closing breaks the ring.
        if (o.kind == Kind::Container && o.hostReferences == 1) {
            send(msgContainerClose, o.object);
        }
        uint32_t count = 0;
        send(msgRelease, o.object, &count);
        --o.hostReferences;
    }

    void makeHostObject() {
        const auto kind = static_cast<HostKind>(m_in.pick(4));
        if (kind == HostKind::Buffer) {
            buffer(m_in.byte());
        } else {
            keep(kind == HostKind::Bag    ? h.createBag()
                 : kind == HostKind::List ? h.createList()
                                          : h.createCallback(),
                 kind);
        }
    }

    void setProperty() {
        const Handle target = properties();
        const char* key = m_in.pick(kKeys);
        const int32_t count = m_in.pick(4) == 0 ? static_cast<int32_t>(m_in.pick(5)) : 1;
        std::vector<uint8_t> bytes;
        const auto append = [&](auto v) {
            const auto* p = reinterpret_cast<const uint8_t*>(&v);
            bytes.insert(bytes.end(), p, p + sizeof v);
        };
        static constexpr uint32_t kTypes[] = {propUInt8, propUInt32, propInt64, propString};
        const uint32_t type = m_in.pick(kTypes);
        if (type == propUInt8) {
            const auto b = m_in.take(static_cast<size_t>(count));
            bytes.assign(b.begin(), b.end());
        } else if (type == propString) {
            // Text, except for "path": a file is only ever written where openFile says.
            if (std::string_view(key) == "path") {
                key = "name";
            }
            const auto b = m_in.bytes(32);
            bytes.assign(b.begin(), b.end());
        } else {
            for (int32_t i = 0; i < count; ++i) {
                if (type == propInt64) {
                    append(int64_t{static_cast<int32_t>(number(m_in))});
                } else {
                    append(m_in.pick(8) == 0 ? plugin->codecs[0].fourcc : number(m_in));
                }
            }
        }
        if (target == 0) {
            return;
        }
        const int32_t stored = type == propString ? static_cast<int32_t>(bytes.size()) : count;
        const size_t width = type == propUInt8 ? 1 : type == propUInt32 ? 4 : 8;
        if (type != propString && bytes.size() < size_t(count) * width) {
            return; // the input ran out
        }
        h.setProperty(target, key, type, bytes.data(), stored);
    }

    void releaseHostObject() {
        if (m_hostObjects.empty()) {
            return;
        }
        const size_t i = m_in.pick(m_hostObjects.size());
        h.release(m_hostObjects[i].handle);
        m_hostObjects.erase(m_hostObjects.begin() + static_cast<std::ptrdiff_t>(i));
    }

    // A message the object does not take: every object answers it with a code.
    void wrongObject() {
        static constexpr uint32_t kObjectMessages[] = {
            msgCodecProperties, msgCodecSignal,      msgCodecQuery,       msgContainerClose,
            msgContainerInit,   msgTrackWritePacket, msgCodecSetCallback, msgContainerAddTrack};
        const Kind kind = static_cast<Kind>(m_in.pick(3));
        const uint32_t msg = m_in.pick(kObjectMessages);
        PluginObject* o = object(kind);
        const Kind taker = msg == msgTrackWritePacket ? Kind::Track
                           : (msg >> 16) == 0x1001    ? Kind::Encoder
                                                      : Kind::Container;
        if (o == nullptr || taker == kind) {
            return; // no object, or the right one: the other steps send these
        }
        bool answer = false;
        void* track = nullptr;
        const Handle first = properties();
        const Handle second = properties();
        if (send(msg, o->object, first, second, &track, &answer) != errUnsupported) {
            std::abort();
        }
    }

    void pluginMessage() {
        switch (m_in.pick(6)) {
        case 0:
            send(msgPluginInfo, properties());
            break;
        case 1: {
            const host::Registration& variant = codec();
            const Handle settings = properties();
            send(msgCodecSettings, variant.uuid.data(), settings, handle({HostKind::List}));
            break;
        }
        case 2:
            send(msgRegisterCodecs, handle({HostKind::List}));
            break;
        case 3:
            send(msgRegisterContainers, handle({HostKind::List}));
            break;
        case 4:
            send(m_in.pick(2) == 0 ? msgPluginSignal1 : msgPluginSignal2);
            break;
        case 5: {
            // An identifier the plug-in does not know reads no argument.
            const uint32_t msg = 0x10030000u | m_in.byte();
            if (send(msg) != errUnsupported) {
                std::abort();
            }
            break;
        }
        }
    }

    // From here on the host refuses every n-th of the plug-in's requests of the kinds chosen.
    // Reference counts and unlocks are never refused: the plug-in cannot get past a host that
    // refuses those, and the protocol makes that a fatal error.
    void hostRefusals() {
        static constexpr uint32_t kRefusable[] = {
            msgCreateObject, msgSetProperty, msgGetProperty, msgListAppend,
            msgBufferResize, msgBufferLock,  msgCodecBuffer, msgCodecQueryValue};
        const uint8_t kinds = m_in.byte();
        const unsigned period = static_cast<unsigned>(m_in.pick(4)) + 1;
        h.probe().setInterceptor([kinds, period, seen = 0u](
                                     const host::TraceEntry& e) mutable -> std::optional<int32_t> {
            for (size_t i = 0; i < std::size(kRefusable); ++i) {
                if (e.msg == kRefusable[i] && ((kinds >> i) & 1) != 0 && ++seen % period == 0) {
                    return errFailed;
                }
            }
            return std::nullopt;
        });
    }

    // The host closes its containers, gives back every reference it holds, and then the
    // plug-in may hold nothing of the host's, and no buffer may stay locked.
    void finish() {
        for (PluginObject& o : m_objects) {
            while (o.hostReferences > 0) {
                release(o);
            }
        }
        for (const HostObject& o : m_hostObjects) {
            h.release(o.handle);
        }
        std::vector<std::string> faults = h.probe().leakReport();
        for (const std::string& failure : h.probe().takeInternalFailures()) {
            faults.push_back("the plug-in failed where it should not: " + failure);
        }
        for (const std::string& fault : faults) {
            std::fprintf(stderr, "%s\n", fault.c_str());
        }
        if (!faults.empty()) {
            std::abort();
        }
    }

    ByteReader& m_in;
    std::vector<PluginObject> m_objects;
    std::vector<HostObject> m_hostObjects;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One thread per encoder keeps runs short and alike; the bytes do not depend on it.
    korvadin_set_default_thread_count(1);
    h.reset();
    plugin = new Plugin;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    h.reset();
    h.probe().setTracing(false);
    korvadin_set_cpu_mask(~0u);
    ByteReader in(data, size);
    Session(in).run();
    return 0;
}
