#include "host/session.h"

#include <stdexcept>

namespace host {

using namespace IOPlugin;

PluginSession::PluginSession(const std::filesystem::path& pluginPath) : m_plugin(pluginPath) {
    const int32_t result = m_plugin.init(Host::api());
    if (result != errNone) {
        throw std::runtime_error("pluginInit refused the host: " + std::to_string(result));
    }
}

PluginSession::~PluginSession() {
    for (const Handle list : m_lists) {
        Host::instance().release(list);
    }
}

std::vector<Registration> PluginSession::collect(uint32_t msg, int32_t* result) {
    Host& h = Host::instance();
    const Handle list = h.createList();
    m_lists.push_back(list);
    const int32_t code = m_plugin.send(msg, list);
    if (result != nullptr) {
        *result = code;
    }
    std::vector<Registration> found;
    for (const Handle bag : h.listItems(list)) {
        Registration r;
        r.bag = bag;
        if (auto name = h.property(bag, "name")) {
            r.name = name->text();
        }
        if (auto fourcc = h.property(bag, "4cc")) {
            r.fourcc = fourcc->u32();
        }
        if (auto uuid = h.property(bag, "uuid")) {
            r.uuid = uuid->bytes;
        }
        if (auto model = h.property(bag, "colorModel")) {
            r.colorModel = model->u32();
        }
        if (auto sub = h.property(bag, "hSubsampling")) {
            r.hSubsampling = sub->u8();
        }
        if (auto sub = h.property(bag, "vSubsampling")) {
            r.vSubsampling = sub->u8();
        }
        if (auto bits = h.property(bag, "sampleBits")) {
            r.sampleBits = bits->u32();
        }
        found.push_back(std::move(r));
    }
    return found;
}

std::vector<Registration> PluginSession::registerCodecs(int32_t* result) {
    return collect(msgRegisterCodecs, result);
}

std::vector<Registration> PluginSession::registerContainers(int32_t* result) {
    return collect(msgRegisterContainers, result);
}

std::string propertyFourccText(uint32_t fourcc) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += static_cast<char>((fourcc >> shift) & 0xFF);
    }
    return text;
}

} // namespace host
