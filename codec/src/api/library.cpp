// The nine functions the module imports, and the thread-count and processor extensions.
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>

#include "core/frame_coder.h"
#include "core/stream_config.h"
#include "davinci/encoder/korvadin_library.h"
#include "dsp/kernels.h"
#include "korvadin_common64.h"

namespace kvcodec {

namespace {

// The thread count of instances opened from now on, for programs that cannot reach the
// instance a plug-in opened.
std::atomic<unsigned> s_defaultThreads{0};

struct Instance {
    unsigned threads = s_defaultThreads.load();
    // Every configuration ever handed out stays valid until the instance closes.
    std::deque<std::vector<uint8_t>> configs;
    std::unique_ptr<FrameCompressor> encoder;
};

// Instances live here; each is used by one thread at a time, so only the table is locked.
struct Registry {
    std::mutex mutex;
    std::map<uint32_t, std::unique_ptr<Instance>> instances;
    uint32_t lastHandle = 0;
    uint64_t initCount = 0;

    // An instance still open when the library is unloaded would join its threads from the
    // unloading code, which on Windows waits forever under the loader lock: such an instance
    // is let go instead. Closed instances leave nothing behind.
    ~Registry() {
        for (auto& entry : instances) {
            static_cast<void>(entry.second.release());
        }
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

Instance* findInstance(uint32_t handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.instances.find(handle);
    return it == r.instances.end() ? nullptr : it->second.get();
}

// A raw layout and size that the library can lay out, from an extended description.
Status describeInput(const korvadin_format_ex* desc, const RawLayout** raw) {
    if (desc == nullptr) {
        return Status::Argument;
    }
    if (desc->base.format != KORVADIN_FORMAT_EXTENDED) {
        return Status::Format;
    }
    *raw = rawLayoutByCode(desc->subFormat);
    return *raw == nullptr ? Status::Format : Status::Ok;
}

Status checkGeometry(const Variant& v, uint32_t width, uint32_t height, Geometry& g) {
    if (const Status s = makeGeometry(v, width, height, 0, g); s != Status::Ok) {
        return s;
    }
    // The size of every frame travels as a 32-bit count.
    return frameBound(g) > UINT32_MAX ? Status::Size : Status::Ok;
}

} // namespace

} // namespace kvcodec

using namespace kvcodec;

extern "C" {

KORVADIN_API int32_t korvadin_library_init(uint32_t* instance) {
    if (instance == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    ++r.initCount;
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_open(uint32_t* instance) {
    if (instance == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.initCount == 0) {
        return KORVADIN_E_STATE;
    }
    try {
        uint32_t handle = r.lastHandle;
        do {
            handle = handle + 1 == 0 ? 1 : handle + 1;
        } while (r.instances.count(handle) != 0);
        r.instances.emplace(handle, std::make_unique<Instance>());
        r.lastHandle = handle;
        *instance = handle;
    } catch (const std::bad_alloc&) {
        return KORVADIN_E_MEMORY;
    }
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_close(uint32_t instance) {
    std::unique_ptr<Instance> closing;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const auto it = r.instances.find(instance);
        if (it == r.instances.end()) {
            return KORVADIN_E_HANDLE;
        }
        closing = std::move(it->second);
        r.instances.erase(it);
    }
    // Joining the instance's threads happens outside the lock.
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_library_close(void) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.initCount == 0) {
        return KORVADIN_E_UNBALANCED;
    }
    --r.initCount;
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_compress_query(uint32_t instance, const korvadin_format* in,
                                             const korvadin_format* out, uint64_t* scratch,
                                             uint32_t* /*reserved*/) {
    if (findInstance(instance) == nullptr) {
        return KORVADIN_E_HANDLE;
    }
    if (in == nullptr || out == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    const Variant* v = variantFor(in->format, out->format);
    if (v == nullptr) {
        return KORVADIN_E_FORMAT;
    }
    Geometry g;
    if (const Status s = checkGeometry(*v, in->width, in->height, g); s != Status::Ok) {
        return resultCode(s);
    }
    if (scratch != nullptr) {
        *scratch = frameBound(g);
    }
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_compress_begin(uint32_t instance, const korvadin_format_ex* in,
                                             const korvadin_format_ex* out, const uint8_t** cookie,
                                             uint64_t* cookieSize, uint32_t* compBufferSize) {
    Instance* inst = findInstance(instance);
    if (inst == nullptr) {
        return KORVADIN_E_HANDLE;
    }
    if (out == nullptr || cookie == nullptr || cookieSize == nullptr || compBufferSize == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    const RawLayout* raw = nullptr;
    if (const Status s = describeInput(in, &raw); s != Status::Ok) {
        return resultCode(s);
    }
    if (out->base.format != KORVADIN_FORMAT_EXTENDED) {
        return KORVADIN_E_FORMAT;
    }
    const Variant* v = variantFor(raw->code, out->subFormat);
    if (v == nullptr) {
        return KORVADIN_E_FORMAT;
    }
    if (in->param1 != 1 || in->param2 != 0 || in->param3 != 0 || in->range < 1 || in->range > 2 ||
        in->fieldOrder > 2) {
        return KORVADIN_E_ARGUMENT;
    }
    StreamConfig config;
    if (const Status s = checkGeometry(*v, in->base.width, in->base.height, config.geometry);
        s != Status::Ok) {
        return resultCode(s);
    }
    config.range = in->range;
    config.fieldOrder = in->fieldOrder;
    try {
        // Everything a frame needs is allocated here, so frames allocate nothing.
        inst->encoder.reset();
        inst->encoder = std::make_unique<FrameCompressor>(config.geometry, inst->threads);
        std::vector<uint8_t>& bytes = inst->configs.emplace_back(kConfigBytes);
        writeConfig(config, bytes.data());
        *cookie = bytes.data();
        *cookieSize = bytes.size();
        *compBufferSize = static_cast<uint32_t>(inst->encoder->bound());
    } catch (const std::bad_alloc&) {
        inst->encoder.reset();
        return KORVADIN_E_MEMORY;
    } catch (const std::system_error&) {
        inst->encoder.reset();
        return KORVADIN_E_MEMORY;
    }
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_init_planes_common(uint32_t instance, const korvadin_format_ex* desc,
                                                 korvadin_planes* planes, uint8_t* frame) {
    if (findInstance(instance) == nullptr) {
        return KORVADIN_E_HANDLE;
    }
    if (planes == nullptr || frame == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    const RawLayout* raw = nullptr;
    if (const Status s = describeInput(desc, &raw); s != Status::Ok) {
        return resultCode(s);
    }
    RawPlaneShape shapes[3];
    unsigned count = 0;
    if (const Status s = rawShapes(*raw, desc->base.width, desc->base.height, shapes, &count);
        s != Status::Ok) {
        return resultCode(s);
    }
    *planes = korvadin_planes{};
    uint8_t* p = frame;
    for (unsigned i = 0; i < count; ++i) {
        planes->plane[i].data = p;
        planes->plane[i].pitch = static_cast<uint32_t>(shapes[i].rowBytes);
        planes->plane[i].size = static_cast<uint32_t>(shapes[i].rowBytes * shapes[i].rows);
        p += shapes[i].rowBytes * shapes[i].rows;
    }
    return KORVADIN_OK;
}

KORVADIN_API int32_t korvadin_compress(uint32_t instance, const korvadin_planes* planes,
                                       uint8_t* out, uint32_t* compressedSize) {
    Instance* inst = findInstance(instance);
    if (inst == nullptr) {
        return KORVADIN_E_HANDLE;
    }
    if (inst->encoder == nullptr) {
        return KORVADIN_E_STATE;
    }
    if (planes == nullptr || out == nullptr || compressedSize == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    const Geometry& g = inst->encoder->geometry();
    RawView view;
    for (unsigned i = 0; i < g.rawPlaneCount; ++i) {
        const korvadin_plane& p = planes->plane[i];
        const RawPlaneShape& shape = g.rawPlane[i];
        if (p.data == nullptr || p.pitch < shape.rowBytes ||
            p.size < uint64_t{p.pitch} * (shape.rows - 1) + shape.rowBytes) {
            return KORVADIN_E_BUFFER;
        }
        view.data[i] = p.data;
        view.pitch[i] = p.pitch;
    }
    return resultCode(inst->encoder->encode(view, out, compressedSize));
}

KORVADIN_CODEC_API void korvadin_set_default_thread_count(uint32_t threads) {
    s_defaultThreads.store(threads);
}

KORVADIN_CODEC_API uint32_t korvadin_cpu_features(void) {
    return cpuFeatures();
}

KORVADIN_CODEC_API void korvadin_set_cpu_mask(uint32_t mask) {
    setCpuMask(mask);
}

KORVADIN_CODEC_API int32_t korvadin_set_thread_count(uint32_t instance, uint32_t threads) {
    Instance* inst = findInstance(instance);
    if (inst == nullptr) {
        return KORVADIN_E_HANDLE;
    }
    inst->threads = threads;
    return KORVADIN_OK;
}

} // extern "C"
