// The "Korvadin AVI" container: one output file per object, a video track and any number of
// audio tracks, each track an AVI stream written through the container's AviWriter.
#pragma once

#include "avi/avi_writer.h"
#include "davinci/encoder/wrapper/plugin_api.h"
#include "fileio/platform_file.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace IOPlugin {

class KorvadinAviTrackWriter;

class KorvadinAviContainer : public IPluginContainerRef {
public:
    KorvadinAviContainer();
    ~KorvadinAviContainer() override;

    int32_t init(HostPropertyCollectionRef& properties) override;
    int32_t open(HostPropertyCollectionRef& properties) override;
    int32_t addTrack(HostPropertyCollectionRef& track, HostPropertyCollectionRef& codec,
                     IPluginObjRef** outTrack) override;
    int32_t close() override;

    // The work of a track's writePacket, done on the current writer.
    int32_t writeVideoChunk(uint64_t streamIndex, HostBufferRef* buffer);
    int32_t writeAudioChunk(uint64_t streamIndex, HostBufferRef* buffer);

    // Ends whatever the current writer was writing, closes the file and starts a fresh writer.
    void resetWriter();

private:
    int32_t addVideoTrack(HostPropertyCollectionRef& track, HostPropertyCollectionRef& codec,
                          const uint32_t frameRate[2]);
    int32_t addAudioTrack(HostPropertyCollectionRef& track);
    int32_t writeChunk(uint64_t streamIndex, HostBufferRef* buffer, uint32_t duration,
                       bool keyFrame, const char* kind);

    // Each holds one reference; the tracks hold one on the container until close.
    PluginObjPtr<KorvadinAviTrackWriter> m_videoTrack;
    std::vector<PluginObjPtr<KorvadinAviTrackWriter>> m_audioTracks;
    fileio::PlatformFile m_file;
    std::unique_ptr<AviWriter> m_writer;
    // From a successful open until the writer is replaced: a second open is refused.
    bool m_writing = false;
};

class KorvadinAviTrackWriter : public IPluginTrackBase, public IPluginTrackWriter {
public:
    KorvadinAviTrackWriter(KorvadinAviContainer* container, uint64_t streamIndex, bool isVideo);
    int32_t writePacket(HostBufferRef* packet) override;

private:
    uint64_t m_streamIndex;
    bool m_isVideo;
};

} // namespace IOPlugin
