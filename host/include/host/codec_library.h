// The codec library behind owning C++ types with one error type: how the host, the tests and the
// benchmarks encode and decode outside the plug-in (which has its own wrapper, the product's).
#pragma once

#include "davinci/encoder/korvadin_library.h"
#include "korvadin_common64.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// A library call that did not answer 0: the message names the call and carries the library's
// text for the code.
class CodecError : public std::runtime_error {
public:
    CodecError(const std::string& call, int32_t code);
    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

// Throws CodecError unless the result is 0.
void checkCodec(int32_t result, const char* call);

// The extended format descriptions a job is begun with, as the plug-in fills them: a raw frame
// of the given size (full range, progressive) and a compressed format.
korvadin_format_ex rawFrameFormat(uint32_t rawFormat, uint32_t width, uint32_t height);
korvadin_format_ex compressedFormat(uint32_t id);

// What beginning a job gives: the configuration bytes and the most one frame compresses to.
struct CompressJob {
    std::vector<uint8_t> config;
    uint32_t bound = 0;
};

// One instance of the library's encoder, initialised and opened as the plug-in does, closed
// with its owner. Every call throws CodecError.
class CodecInstance {
public:
    // On `threads` threads, the caller's included; 0 leaves the library's default.
    explicit CodecInstance(uint32_t threads = 0);
    ~CodecInstance();
    CodecInstance(const CodecInstance&) = delete;
    CodecInstance& operator=(const CodecInstance&) = delete;

    uint32_t handle() const { return m_handle; }
    CompressJob begin(const korvadin_format_ex& in, const korvadin_format_ex& out);
    // Where the planes of a frame in the job's raw layout lie, and their sizes.
    korvadin_planes planes(const korvadin_format_ex& in, uint8_t* frame);
    // The compressed size; `out` holds the job's bound.
    uint32_t compress(const korvadin_planes& planes, uint8_t* out);

private:
    void close();
    uint32_t m_handle = 0;
};

// The library's decoder for one stream, from its configuration bytes ("magicCookie").
class FrameDecoder {
public:
    explicit FrameDecoder(std::span<const uint8_t> config, uint32_t threads = 0);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    const korvadin_stream_info& info() const { return m_info; }
    // One compressed frame back to the raw layout, valid until the next call.
    const std::vector<uint8_t>& decode(std::span<const uint8_t> frame);

private:
    korvadin_decoder* m_decoder = nullptr;
    korvadin_stream_info m_info{};
    std::vector<uint8_t> m_frame;
};

} // namespace host
